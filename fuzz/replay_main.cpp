// Replays corpus files through a fuzz target without libFuzzer (ctest).
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  int files = 0;
  for (int i = 1; i < argc; i++) {
    std::vector<std::string> paths;
    if (DIR* d = opendir(argv[i])) {
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') paths.push_back(std::string(argv[i]) + "/" + e->d_name);
      closedir(d);
    } else {
      paths.push_back(argv[i]);
    }
    for (const std::string& p : paths) {
      FILE* f = fopen(p.c_str(), "rb");
      if (!f) continue;
      std::vector<uint8_t> buf;
      uint8_t chunk[65536];
      size_t n;
      while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) buf.insert(buf.end(), chunk, chunk + n);
      fclose(f);
      LLVMFuzzerTestOneInput(buf.data(), buf.size());
      files++;
    }
  }
  printf("replayed %d inputs\n", files);
  return files > 0 ? 0 : 1;
}
