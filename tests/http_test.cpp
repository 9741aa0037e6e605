#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "gtest/gtest.h"
#include "stream/http.h"
#include "test_support.h"

namespace {
std::string Gzip(const std::string& s) {
  gzFile f = gzopen(TempPath("body.gz").c_str(), "wb");
  gzwrite(f, s.data(), unsigned(s.size()));
  gzclose(f);
  return ReadFileText(TempPath("body.gz"));
}
std::string Chunked(const std::string& body, size_t piece) {
  std::string out;
  for (size_t i = 0; i < body.size(); i += piece) {
    const std::string part = body.substr(i, piece);
    char size[24];
    snprintf(size, sizeof size, "%zx\r\n", part.size());
    out += size + part + "\r\n";
  }
  return out + "0\r\n\r\n";
}
bool Decode(const std::string& block, std::string* out, bool all = false) {
  return HttpResponseDecoder(reinterpret_cast<const uint8_t*>(block.data()), block.size(), out, all);
}
}  // namespace

TEST(HttpTest, UrlsAndFileNames) {
  const char* block =
      "GET /dir/page.php?id=7 HTTP/1.1\r\nHost: h\r\n\r\n"
      "POST /form HTTP/1.1\r\nhost: h2\r\n\r\n"
      "GET /nohost HTTP/1.1\r\n\r\nGET /later HTTP/1.1\r\nHost: x\r\n\r\n";
  size_t pos = 0;
  std::string url;
  ASSERT_TRUE(UrlListEntry(block, &pos, &url));
  EXPECT_EQ(url, "http://h/dir/page.php?id=7");
  ASSERT_TRUE(UrlListEntry(block, &pos, &url));
  EXPECT_EQ(url, "http://h2/form");
  EXPECT_FALSE(UrlListEntry(block, &pos, &url));  // no Host: the list ends

  // A POST keeps the name before. Never a path, a dot name or a device name,
  // COM¹ and its kin included (0xB4 is no superscript digit of the code page).
  const std::pair<std::string, std::string> names[] = {
      {"GET /dir/page.php?id=7", "page.php-id=7"}, {"POST /x", "page.php-id=7"}, {"GET /dir/", "Index"},
      {"GET /" + std::string(100, 'n'), std::string(64, 'n')}, {"GET /a/..", ".-"}, {"GET /con.txt", "_con.txt"},
      {"GET /a%01b", "a%01b"}, {"GET /COM\xb9", "_COM\xb9"}, {"GET /com\xb2.txt", "_com\xb2.txt"},
      {"GET /COM\xb3", "_COM\xb3"}, {"GET /LPT\xb9.htm", "_LPT\xb9.htm"}, {"GET /lpt\xb2", "_lpt\xb2"},
      {"GET /LPT\xb3", "_LPT\xb3"}, {"GET /COM\xb4", "COM\xb4"}, {"GET /conin$", "_conin$"},
      {"GET /CONOUT$.txt", "_CONOUT$.txt"}, {"GET /Com0", "_Com0"}, {"GET /lpt0.x", "_lpt0.x"}};
  std::string name;
  for (const auto& [request, want] : names) {
    HttpFileName((request + " HTTP/1.1\r\n").c_str(), &name);
    EXPECT_EQ(name, want) << request;
  }
  HttpFileName("GET /a/..\\..\\..\\x.exe HTTP/1.1\r\n", &name);
  EXPECT_EQ(name.find('\\'), std::string::npos);
}

TEST(HttpTest, DecodesChunkedAndGzipBodies) {
  const std::string body = "The body " + std::string(3000, 'z') + " end";
  std::string out;
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n";
  ASSERT_TRUE(Decode(head + Chunked(Gzip(body), 100), &out));
  EXPECT_EQ(out, head + body);
  // Not gzip: only extraction de-chunks (http_extract_test checks what it writes).
  EXPECT_FALSE(Decode("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunked(body, 7), &out));
  // A damaged gzip stream keeps what was decoded.
  const std::string gz = Gzip(body);
  ASSERT_TRUE(Decode("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + gz.substr(0, gz.size() / 2), &out));
  EXPECT_GT(out.size(), 40u);
  // A body that is not gzip passes through.
  ASSERT_TRUE(Decode("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\nplain", &out));
  EXPECT_EQ(out.substr(out.size() - 5), "plain");
  EXPECT_FALSE(Decode("GET / HTTP/1.1\r\n\r\n", &out));
  // Chunk extensions and spaces after the size; no size at all, or a size
  // line that never ends, gives nothing; a stray empty line is passed over,
  // and a chunk the capture cuts keeps what it holds.
  const std::pair<std::string, std::string> chunked[] = {
      {"5;ext=1\r\nhello\r\n6  \r\n world\r\n3 ; name=\"v\"\r\n!!!\r\n0\r\n\r\n", "hello world!!!"},
      {"zz\r\nhello\r\n", ""}, {"5;ext=1", ""}, {"\r\n5\r\nhello\r\n0\r\n\r\n", "hello"},
      {"2\r\nab\r\n10000\r\ncut", "abcut"}};
  for (const auto& [body, want] : chunked) {
    out.clear();
    DechunkBody(reinterpret_cast<const uint8_t*>(body.data()), body.size(), &out);
    EXPECT_EQ(out, want) << body;
  }
}

TEST(HttpTest, ExtractorNamesAndNumbersFiles) {
  FakePlatform platform;
  const std::string dir = TempPath("extract");
  MakeDir(dir);
  HttpExtractor x(dir);
  // text/html adds ".htm", a body under 3 bytes is not written, names that
  // differ only in case are one file on Windows, and the pending name keeps
  // its extension: a second response adds no other.
  for (const char* block :
       {"GET /index.html HTTP/1.1\r\nHost: h\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<p>one</p>",
        "GET /index.html HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<p>two</p>",
        "GET /pic HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n\r\nab",
        "GET /Same HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\nfirst", "GET /same HTTP/1.1\r\n\r\n",
        "HTTP/1.1 200 OK\r\n\r\nsecond", "GET /SAME HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\nthird",
        "GET /page HTTP/1.1\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\none",
        "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n\r\ntwo"})
    x.OnBlock(reinterpret_cast<const uint8_t*>(block), strlen(block));
  EXPECT_EQ(x.filesWritten(), 7);
  const std::pair<const char*, const char*> files[] = {
      {"index.html.htm", "<p>one</p>"}, {"index.html(1).htm", "<p>two</p>"}, {"Same", "first"},
      {"same(1)", "second"},            {"SAME(2)", "third"},                {"page.htm", "one"},
      {"page.htm.png", "two"}};
  for (const auto& [name, body] : files) EXPECT_EQ(ReadFileText(dir + "/" + name), body) << name;
}

TEST(HttpTest, ExtensionsFromTheSystemDatabase) {
  FakePlatform platform;
  EXPECT_EQ(MimeExtension("Image/PNG"), ".png");  // no database: the built-in table
  EXPECT_EQ(MimeExtension("x/unknown"), "");
  platform.mimeDatabase = true;
  platform.mime = {{"text/html", ".html"}, {"a/b", "..\\..\\evil"}, {"a/c", ".x/y"}, {"a/d", "exe"}};
  EXPECT_EQ(MimeExtension("text/html"), ".html");
  EXPECT_EQ(MimeExtension("image/png"), "");  // the database does not list it
  for (const char* hostile : {"a/b", "a/c", "a/d", "text/html\\x"}) EXPECT_EQ(MimeExtension(hostile), "") << hostile;
}
