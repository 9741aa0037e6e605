// Replays corpus files through a fuzz target without libFuzzer (ctest).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  int files = 0;
  for (int i = 1; i < argc; i++) {
    std::vector<std::string> paths;
    if (std::filesystem::is_directory(argv[i]))
      for (const auto& e : std::filesystem::directory_iterator(argv[i])) paths.push_back(e.path().string());
    else
      paths.push_back(argv[i]);
    for (const std::string& p : paths) {
      std::ifstream f(p, std::ios::binary);
      if (!f) continue;
      const std::vector<uint8_t> buf{std::istreambuf_iterator<char>(f), {}};
      LLVMFuzzerTestOneInput(buf.data(), buf.size());
      files++;
    }
  }
  printf("replayed %d inputs\n", files);
  return files > 0 ? 0 : 1;
}
