#include <windows.h>

#include <string>

#include "gtest/gtest.h"
#include "stream/http.h"

// The Windows build reads the extension from HKCR's MIME database; a system
// without the database falls back to the built-in table.
TEST(HttpTest, ExtensionsFromTheRegistry) {
  const char* root = "Mime\\Database\\Content Type";
  HKEY probe;
  const bool hadRoot = RegOpenKeyExA(HKEY_CLASSES_ROOT, root, 0, KEY_READ, &probe) == ERROR_SUCCESS;
  if (hadRoot) RegCloseKey(probe);
  if (!hadRoot) {
    EXPECT_EQ(MimeExtension("image/png"), ".png");
  }
  HKEY key;
  const std::string sub = std::string(root) + "\\application/x-pakrill-test";
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, "Extension", 0, REG_SZ, reinterpret_cast<const BYTE*>(".pkt"), 5);
  RegCloseKey(key);
  EXPECT_EQ(MimeExtension("application/x-pakrill-test"), ".pkt");
  EXPECT_EQ(MimeExtension("application/x-pakrill-none"), "");  // the database does not list it
  RegDeleteKeyA(HKEY_CLASSES_ROOT, sub.c_str());
  if (!hadRoot) RegDeleteKeyA(HKEY_CLASSES_ROOT, root);
}
