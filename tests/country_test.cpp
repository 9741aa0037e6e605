#include <zlib.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <type_traits>

#include "base/byte_cursor.h"
#include "capture/conversation_table.h"
#include "enrich/country_csv.h"
#include "enrich/country_data.h"
#include "enrich/geo_legacy.h"
#include "enrich/mmdb.h"
#include "enrich/name_tables.h"
#include "geo_writers.h"
#include "gtest/gtest.h"
#include "packetfile/packet_file.h"
#include "test_support.h"

namespace {
uint8_t IndexOf(const char* code) {
  for (int i = 0; i < kCountryCodeCount; i++)
    if (!strcmp(kCountryCodes[i], code)) return uint8_t(i);
  return 0;
}
uint32_t Host(const char* dotted) { return NetToHost32(Addr(dotted)); }
// What a database of any kind says of an address of either family.
template <class Db>
std::string Find(const Db& db, const char* a) {
  char t[64];
  bool found;
  if constexpr (std::is_same_v<Db, CountryRangeTable>) found = db.Lookup(Host(a), t);
  else found = strchr(a, ':') ? db.Lookup6(V6(a).bytes, t) : db.Lookup(Host(a), t);
  return found ? t : "<none>";
}
size_t Entries(const char* table) {
  size_t n = 0;
  for (const char* p = table; *p != 'A'; p += 3 + (*p - 'A')) n++;
  return n;
}
}  // namespace

TEST(CountryTest, NameTablesAndTitleCase) {
  EXPECT_EQ(Entries(kStateNameTable), 55u);  // countries: "South Sudan" and "O1" at the end
  const char* cases[][2] = {{"GUINEA-BISSAU", "Guinea-Bissau"}, {"COTE D'IVOIRE", "Cote D'ivoire"},
                            {"ST. HELENA", "St. Helena"}, {"SLOVAKIA (Slovak Republic)", "Slovakia (Slovak Republic)"},
                            {"A/B", "A/B"}};
  for (auto& c : cases) {
    char t[64];
    strcpy(t, c[0]);
    TitleCase(t);
    EXPECT_STREQ(t, c[1]);
  }
  char text[64];
  LocationText("US", std::string(100, 'c').c_str(), "", "", text);
  EXPECT_EQ(strlen(text), 63u);
}

TEST(CountryTest, LegacyCityCountryAndHostileFiles) {
  LegacyWriter w(true);
  w.AddCity(Host("8.8.8.0"), 24, IndexOf("US"), "CA", "Mountain View", "94043");
  w.AddCity(Host("81.0.0.0"), 8, IndexOf("DE"), "16", "Berlin", "");
  w.AddCity(Host("200.0.0.0"), 8, IndexOf("BQ"), "", "", "");
  w.AddCity(Host("201.0.0.0"), 8, 254, "", "", "");
  w.AddCity(Host("202.0.0.0"), 8, 255, "", "", "");
  for (bool structure : {true, false}) {
    LegacyGeoDatabase db;
    ASSERT_TRUE(db.Load(w.Build(structure)));
    EXPECT_EQ(Find(db, "8.8.8.8"), "United States, Mountain View, California, 94043");
    EXPECT_EQ(Find(db, "81.2.3.4"), "Germany, Berlin");
    EXPECT_EQ(Find(db, "200.1.1.1"), "BQ");  // no name in the table: the code
    EXPECT_EQ(Find(db, "201.1.1.1"), "South Sudan");
    EXPECT_EQ(Find(db, "202.1.1.1"), "O1");
    EXPECT_EQ(Find(db, "8.8.9.1"), "<none>");
  }
  // The country edition is recognised by its structure (its names and index range: the system tool's oracle).
  LegacyWriter c(false);
  c.AddCountry(Host("8.0.0.0"), 8, IndexOf("US"));
  LegacyGeoDatabase db;
  ASSERT_TRUE(db.Load(c.Build()));
  EXPECT_EQ(db.kind(), LegacyGeoDatabase::kCountry);
  EXPECT_EQ(Find(db, "8.1.2.3"), "United States");
  EXPECT_EQ(Find(db, "9.1.2.3"), "<none>");

  EXPECT_FALSE(db.Load({1, 2}));
  EXPECT_EQ(Find(db, "1.2.3.4"), "<none>");
  // A node that points at itself never reaches a leaf.
  ASSERT_TRUE(db.Load({0, 0, 0, 0, 0, 0, 1, 0, 0}));
  EXPECT_EQ(Find(db, "1.2.3.4"), "<none>");
  // Records pointing past the file, and a record whose texts run off its end.
  ASSERT_TRUE(db.Load({0xF0, 0xFF, 0xFF, 0x02, 0, 0, 1, 0, 0}));
  EXPECT_EQ(Find(db, "1.2.3.4"), "<none>");
  EXPECT_EQ(Find(db, "200.2.3.4"), "<none>");
  // Texts not ended within a record's length are not searched to the file's end.
  LegacyWriter r(true);
  r.AddCity(Host("8.0.0.0"), 8, IndexOf("DE"), std::string(300, 'r'), "Bonn", "");
  ASSERT_TRUE(db.Load(r.Build()));
  EXPECT_EQ(Find(db, "8.1.2.3"), "<none>");
  // The IPv6 country edition answers IPv6 addresses only, over 128 bits at most.
  LegacyWriter w6(false, true);
  w6.AddCountry6(V6("2001:db8::").bytes, 32, IndexOf("NL"));
  ASSERT_TRUE(db.Load(w6.Build()));
  EXPECT_EQ(db.kind(), LegacyGeoDatabase::kCountry6);
  EXPECT_EQ(Find(db, "32.1.13.184"), "<none>");
  ASSERT_TRUE(db.Load({0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 12}));
  EXPECT_EQ(Find(db, "::1"), "<none>");
  ASSERT_TRUE(db.Load(c.Build()));
  EXPECT_EQ(Find(db, "::1"), "<none>");
  // Unknown database types are not taken for city files.
  EXPECT_FALSE(db.Load({0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 5}));
}

// The system's country files, where installed, answer as its own tool does.
TEST(CountryTest, LegacyReaderAgreesWithTheSystemTool) {
  const char* kFile = "/usr/share/GeoIP/GeoIP.dat";
  if (access(kFile, R_OK) != 0 || system("command -v geoiplookup >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "geoiplookup or " << kFile << " not installed";
  LegacyGeoDatabase db;
  ASSERT_TRUE(db.Load(ReadFileBytes(kFile)));
  std::string script = "for a in", want;
  std::mt19937 rng(7);
  for (int i = 0; i < 300; i++) {
    const uint32_t a = rng();
    char dotted[16];
    snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", a >> 24, a >> 16 & 255, a >> 8 & 255, a & 255);
    script += std::string(" ") + dotted;
    want += Find(db, dotted) + "\n";
  }
  // "Edition: US, United States", or no ", " where nothing is found.
  std::string got =
      CommandOutput(script + "; do geoiplookup -f " + kFile + " $a; done | sed 's/^[^,]*, //;t;s/.*/<none>/'");
  // Our names are title-cased without commas ("Korea Republic Of").
  for (std::string* s : {&got, &want}) {
    s->erase(std::remove(s->begin(), s->end(), ','), s->end());
    for (char& c : *s) c = char(tolower(uint8_t(c)));
  }
  EXPECT_EQ(got, want);
  // The IPv6 edition: the country code its tool prints, as our text of it.
  std::vector<uint8_t> data;
  if (!ReadDataFile("/usr/share/GeoIP/GeoIPv6.dat", false, kMaxDatabaseBytes, &data)) GTEST_SKIP() << "no GeoIPv6.dat";
  ASSERT_TRUE(db.Load(data));
  for (const char* a : {"2001:4860:4860::8888", "2a00:1450:4001::1", "2001:67c:2e8::1", "::9.1.2.3", "fe80::1"}) {
    const std::string code = CommandOutput(std::string("geoiplookup6 -f /usr/share/GeoIP/GeoIPv6.dat ") + a +
                                           " | sed -n 's/.*: \\(..\\), .*/\\1/p'");
    char text[64] = "<none>";
    if (!code.empty()) LocationText(code.substr(0, 2).c_str(), "", "", "", text);
    EXPECT_EQ(Find(db, a), text) << a;
  }
}

TEST(CountryTest, CsvRowsQuotesCommentsAndOverlaps) {
  const char csv[] =
      "# comment line\r\n"
      "\"16777216\",\"16777471\",\"apnic\",\"1\",\"AU\",\"AUS\",\"Australia\"\r\n"
      " 16777472 , 16778239 ,x,1, CN ,CHN,China\n"
      "\r"
      "16777216,16777471,x,1,US\n"
      "33554432,50331647,x,1,\n"
      "50331648,50331649\n"
      "4294967040,4294967295,x,1,\"GB\",\"GBR\",\"United, Kingdom\"";
  CountryRangeTable t;
  ASSERT_TRUE(t.Parse(csv, strlen(csv)));
  EXPECT_EQ(t.rows().size(), 5u);  // the US row lies wholly under the first
  EXPECT_EQ(Find(t, "1.0.0.5"), "Australia");  // first of two overlapping rows
  EXPECT_EQ(Find(t, "1.0.2.0"), "China");
  EXPECT_EQ(Find(t, "2.1.1.1"), "");  // a row without a code
  EXPECT_EQ(Find(t, "255.255.255.255"), "United Kingdom");
  EXPECT_EQ(Find(t, "1.0.4.0"), "<none>");
  EXPECT_FALSE(t.Parse("# only\n\n", 9));

  // The index answers as a scan for the first row in file order that covers the address.
  std::mt19937 rng(7);
  std::string text;
  const char* codes[] = {"US", "DE", "FR", "JP", "BR", ""};
  const char* names[] = {"United States", "Germany", "France", "Japan", "Brazil", ""};
  std::vector<std::array<uint32_t, 3>> rows;  // and repeated rows without a code
  for (int i = 0; i < 400; i++) {
    uint32_t a = rng() % 5000, b = a + rng() % 300;
    if (i % 37 == 0) std::swap(a, b);  // an empty range
    rows.push_back(i % 6 ? std::array<uint32_t, 3>{a, b, uint32_t(i % 5)} : std::array<uint32_t, 3>{7, 7, 5});
    text += std::to_string(rows.back()[0]) + "," + std::to_string(rows.back()[1]) + ",x,1," + codes[rows.back()[2]] + "\n";
  }
  ASSERT_TRUE(t.Parse(text.data(), text.size()));
  for (uint32_t a = 0; a < 5400; a++) {
    std::string want = "<none>";
    for (const auto& r : rows)
      if (r[0] <= a && a <= r[1]) {
        want = names[r[2]];
        break;
      }
    ASSERT_EQ(Find(t, ("0.0." + std::to_string(a >> 8) + "." + std::to_string(a & 255)).c_str()), want) << a;
  }
}

TEST(CountryTest, MmdbLayoutsRecordSizesAndHostileFields) {
  using namespace mmdb;
  const Bytes nested = Map(Fields{
      {"city", Map(Fields{{"names", Map(Fields{{"de", Str("X")}, {"en", Str("Mountain View")}})}})},
      {"country", Map(Fields{{"geoname_id", Uint(6, 6252001)}, {"iso_code", Str("US")}})},
      {"location", Map(Fields{{"latitude", Head(3, 8) + Bytes(8, 0)}})},
      {"postal", Map(Fields{{"code", Str("94043")}})},
      {"subdivisions", Array({Map(Fields{{"iso_code", Str("CA")}})})}});
  const Bytes flat = Map(Fields{
      {"city", Str("Link\xC3\xB6ping\xE2\x82\xAC\xF0\x9F\x98\x80\xC3")}, {"country_code", Str("US")},
      {"state1", Str("Texas")}, {"postcode", Str("78701")}});
  const Bytes countryOnly = Map(Fields{{"country", Map(Fields{{"iso_code", Str("FR")}})}});
  MmdbDatabase db;
  std::string error;
  const bool pythonReader = system("/usr/bin/python3 -c 'import maxminddb' 2>/dev/null") == 0;
  const std::string kPython =
      "import sys, maxminddb\n"
      "db = maxminddb.open_database(sys.argv[1])\n"
      "for ip in sys.argv[2:]:\n"
      "  r = db.get(ip)\n"
      "  if r is None: print(\"<none>\"); continue\n"
      "  c = r.get(\"city\"); p = r.get(\"postal\"); k = r.get(\"country\", {}).get(\"iso_code\")\n"
      "  print(k or r[\"country_code\"], c and c[\"names\"][\"en\"], p and p[\"code\"])\n";
  for (int version : {4, 6})
    for (int size : {24, 28, 32}) {
      MmdbWriter w(version, size);
      // Keys shared through pointers into the start of the data section.
      w.Prefix(Str("iso_code"));
      w.Add(Host("8.8.8.0"), 24, nested);
      w.Add(Host("20.0.0.0"), 8, flat);
      w.Add(Host("90.0.0.0"), 7, countryOnly);
      w.Add(Host("100.0.0.0"), 8, Map(Pairs{{Str("country"), Map(Pairs{{Pointer(0), Str("JP")}})}}));
      if (version == 6) w.Add6(V6("2001:db8::").bytes, 33, Map(Fields{{"country_code", Str("JP")}}));
      ASSERT_TRUE(db.Load(w.Build(), &error)) << error;
      SCOPED_TRACE(std::to_string(version) + "/" + std::to_string(size));
      EXPECT_EQ(Find(db, "8.8.8.8"), "United States, Mountain View, California, 94043");
      // UTF-8 in the program's code page: one "?" for what it lacks.
      EXPECT_EQ(Find(db, "20.1.1.1"), "United States, Link\xF6ping\x80??, Texas, 78701");
      EXPECT_EQ(Find(db, "91.1.1.1"), "France");
      EXPECT_EQ(Find(db, "100.1.1.1"), "Japan");
      EXPECT_EQ(Find(db, "92.0.0.1"), "<none>");
      EXPECT_EQ(Find(db, "8.8.9.8"), "<none>");
      // IPv6: its own networks, and the IPv4 ones under ::/96.
      EXPECT_EQ(Find(db, "2001:db8::1"), version == 6 ? "Japan" : "<none>");
      EXPECT_EQ(Find(db, "::8.8.8.8"), version == 6 ? Find(db, "8.8.8.8") : "<none>");
      EXPECT_EQ(Find(db, "2001:db8:8000::"), "<none>");
      struct : FakePlatform {
        size_t EncodeCharacter(uint32_t ch, char* out) override {
          out[0] = ch == 0xF6 ? 'o' : char(ch);  // a code page with only ASCII and an "o"
          return ch < 0x80 || ch == 0xF6;
        }
      } ascii;
      EXPECT_EQ(Find(db, "20.1.1.1"), "United States, Linkoping???, Texas, 78701");
      // An independent reader, where installed, finds the same records: writer and reader share no misreading.
      if (pythonReader) {
        WriteFileBytes(TempPath("o.mmdb"), w.Build());
        std::string ips = " 8.8.8.8 91.1.1.1 100.1.1.1 92.0.0.1 8.8.9.8";
        std::string want = "US Mountain View 94043\nFR None None\nJP None None\n<none>\n<none>\n";
        if (version == 6) ips += " 2001:db8::1 2001:db8:8000::", want += "JP None None\n<none>\n";
        EXPECT_EQ(CommandOutput("/usr/bin/python3 -c '" + kPython + "' " + TempPath("o.mmdb") + ips), want);
      }
    }

  auto load = [](const Bytes& value, Bytes prefix = {}) {
    MmdbWriter w(4, 24);
    w.Prefix(prefix);
    w.Add(Host("1.0.0.0"), 8, value);
    return w.Build();
  };
  // A pointer past the data, a pointer to a pointer, a string longer than
  // the data, a map claiming more entries than there are bytes.
  const std::vector<Bytes> bad = {Map(Pairs{{Str("country"), Pointer(60000)}}), Map(Pairs{{Pointer(0), Str("x")}}),
                                  Head(2, 5000) + Bytes{'a'}, Head(7, 70000)};
  for (const Bytes& v : bad) {
    ASSERT_TRUE(db.Load(load(v, Pointer(0)), &error)) << error;
    EXPECT_EQ(Find(db, "1.2.3.4"), "<none>");
  }
  // Nesting deeper than the reader follows, before the wanted key.
  Bytes deep = Str("x");
  for (int i = 0; i < 40; i++) deep = Array({deep});
  ASSERT_TRUE(db.Load(load(Map(Fields{{"a", deep}, {"country_code", Str("US")}})), &error));
  EXPECT_EQ(Find(db, "1.2.3.4"), "<none>");
  // A record is walked only so far: thousands of entries before the wanted key.
  Fields many;
  for (int i = 0; i < 5000; i++) many.push_back({"k" + std::to_string(i), Uint(5, 1)});
  many.push_back({"country_code", Str("US")});
  ASSERT_TRUE(db.Load(load(Map(many)), &error));
  EXPECT_EQ(Find(db, "1.2.3.4"), "<none>");
  // Metadata that does not fit the file.
  Bytes file = load(Str("x"));
  EXPECT_FALSE(db.Load(Bytes(file.begin(), file.begin() + 20), &error));
  Bytes huge = Bytes(40, 0) + Bytes{0xAB, 0xCD, 0xEF, 'M', 'a', 'x', 'M', 'i', 'n', 'd', '.', 'c', 'o', 'm'} +
               Map(Fields{{"node_count", Uint(6, 1000000)}, {"record_size", Uint(5, 24)}, {"ip_version", Uint(5, 4)}});
  EXPECT_FALSE(db.Load(huge, &error));
  EXPECT_EQ(Find(db, "1.2.3.4"), "<none>");
}

TEST(CountryTest, DataFilesInPreferenceOrder) {
  const std::string dir = TempPath("geo") + "/";
  MakeDir(dir);
  CountryData none;
  EXPECT_FALSE(none.LoadFromFolder(dir));

  const std::string csv = "134744064,134744319,x,1,CA\n";  // 8.8.8.0/24
  WriteFileBytes(dir + "IpToCountry.csv", Bytes(csv.begin(), csv.end()));
  MmdbWriter m(6, 28);
  m.Add(Host("8.0.0.0"), 8, mmdb::Map(mmdb::Fields{{"country_code", mmdb::Str("JP")}}));
  WriteFileBytes(dir + "GeoLite2-City.mmdb", m.Build());
  LegacyWriter w(true);
  w.AddCity(Host("8.0.0.0"), 8, IndexOf("DE"), "", "Bonn", "");
  const Bytes legacy = w.Build();
  gzFile gz = gzopen((dir + "GeoLiteCity.dat.gz").c_str(), "wb");
  gzwrite(gz, legacy.data(), unsigned(legacy.size()));
  gzclose(gz);

  CountryData d;
  auto loaded = [&] {
    char text[64] = "";
    EXPECT_TRUE(d.LoadFromFolder(dir));
    d.Lookup(Addr("8.8.8.8"), text);
    return std::string(text);
  };
  EXPECT_EQ(loaded(), "Germany, Bonn");  // the gzip city file wins
  // ... unless a city file is there that cannot be used: then the CSV.
  WriteFileBytes(dir + "GeoLiteCity.dat", {1, 2});
  EXPECT_EQ(loaded(), "Canada");
  remove((dir + "GeoLiteCity.dat").c_str());
  // A gzip file that inflates past the limit is not loaded.
  std::vector<uint8_t> out;
  EXPECT_FALSE(ReadDataFile(dir + "GeoLiteCity.dat.gz", true, legacy.size() - 1, &out));
  EXPECT_TRUE(out.empty());

  remove((dir + "GeoLiteCity.dat.gz").c_str());
  EXPECT_EQ(loaded(), "Canada");
  remove((dir + "IpToCountry.csv").c_str());
  EXPECT_EQ(loaded(), "Japan");

  char text[64] = "x";
  d.Lookup(Addr("9.9.9.9"), text);  // not in the file: empty
  EXPECT_STREQ(text, "");

  // IPv6: the mmdb's IPv6 part, else GeoIPv6.dat; IPv4-mapped, 6to4 and Teredo (inverted client) as IPv4.
  auto six = [&](const char* a) {
    d.Lookup6(V6(a), text);
    return std::string(text);
  };
  m.Add6(V6("2001:db8::").bytes, 32, mmdb::Map(mmdb::Fields{{"country_code", mmdb::Str("DE")}}));
  WriteFileBytes(dir + "GeoLite2-City.mmdb", m.Build());
  LegacyWriter w6(false, true);
  w6.AddCountry6(V6("2001:db8::").bytes, 31, IndexOf("SE"));
  WriteFileBytes(dir + "GeoIPv6.dat", w6.Build());
  EXPECT_TRUE(d.LoadFromFolder(dir));
  EXPECT_EQ(six("2001:db8::1"), "Germany");
  EXPECT_EQ(six("2001:db9::1"), "Sweden");
  EXPECT_EQ(six("::ffff:8.8.8.8"), "Japan");
  EXPECT_EQ(six("2002:808:808::1"), "Japan");
  EXPECT_EQ(six("2001:0:4136:e378:8000:63bf:f7f7:f7f7"), "Japan");
  EXPECT_EQ(six("2001:1:4136:e378:8000:63bf:f7f7:f7f7"), "");
  EXPECT_EQ(six("2001:dba::1"), "");
  remove((dir + "GeoLite2-City.mmdb").c_str());
  EXPECT_TRUE(d.LoadFromFolder(dir));  // the IPv6 file alone is enough
  EXPECT_EQ(six("2001:db8::1"), "Sweden");
}
