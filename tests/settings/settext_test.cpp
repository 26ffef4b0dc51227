#include "settings/settext.h"
#include "portable_env.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace lumavix {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Parsed {
  ParseStatus status;
  std::vector<SettingArray> arrays;
  std::string log;
};

// Parses a copy of `text` held in a buffer of exactly its size, so that a
// read past the end shows up under the address sanitizer.
Parsed Parse(std::string_view text) {
  auto exact = std::make_unique<char[]>(text.size() + 1);
  std::copy(text.begin(), text.end(), exact.get());
  MakeBinFile converter;
  Parsed out;
  out.status = converter.ParseSettingBuffer({exact.get(), text.size()}, out.log);
  out.arrays = converter.arrays();
  return out;
}

std::vector<std::string> Names(const Parsed& parsed) {
  std::vector<std::string> names;
  for (const SettingArray& array : parsed.arrays)
    names.push_back(array.name);
  return names;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SettextFiles : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    dir_ = std::filesystem::temp_directory_path() /
           ("settext_test_" + std::to_string(std::random_device{}()));
    ASSERT_TRUE(std::filesystem::create_directory(dir_));
#else
    char pattern[] = "/tmp/settext_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
#endif
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path Write(const std::string& name, std::string_view content) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  SettextLogOptions LogTo(const std::string& name) { return {dir_ / name, {}, {}}; }

  std::filesystem::path dir_;
};

TEST(SettextImage, LayoutByteForByte) {
  struct Case {
    const char* type;
    Bytes image;
  };
  const Case cases[] = {
      {"uint8", {1, 10, 0, 1, 0, 11, 0, 1, 2, 0, 'T', 1, 2}},
      {"uint16", {1, 10, 0, 1, 0, 11, 0, 2, 4, 0, 'T', 1, 0, 2, 0}},
      {"uint32", {1, 10, 0, 1, 0, 11, 0, 4, 8, 0, 'T', 1, 0, 0, 0, 2, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    MakeBinFile converter;
    std::string log;
    const std::string text = std::string("const ") + c.type + " T[] = { 0x01, 0x02, };";
    ASSERT_EQ(converter.ParseSettingBuffer(text, log), ParseStatus::Ok) << text;
    Bytes image(64, 0xEE);
    ASSERT_EQ(converter.WriteSettingImage(image), ImageStatus::Ok) << text;
    std::size_t size = 0;
    ASSERT_EQ(converter.CheckSettingImage(image.size(), size), ImageStatus::Ok);
    image.resize(size);
    EXPECT_EQ(image, c.image) << "image of " << text;
  }
}

TEST(SettextImage, ValuesKeepTheirLowBytesPerElementSize) {
  MakeBinFile converter;
  std::string log;
  ASSERT_EQ(converter.ParseSettingBuffer("uint32 A[] = {0x00C2A5F0,0x123456789,};\r\n"
                                         "uint8 B[] = {0x1FF,};uint16 C[] = {0xABCDE,};",
                                         log),
            ParseStatus::Ok);
  // More than eight digits: the high ones are shifted out of 32 bits.
  EXPECT_EQ(converter.arrays()[0].values,
            (std::vector<std::uint32_t>{0x00C2A5F0, 0x23456789}));
  Bytes image(64, 0);
  ASSERT_EQ(converter.WriteSettingImage(image), ImageStatus::Ok);
  // Header 28 bytes, then "A" + 2 × 4 bytes, "B" + 1, "C" + 2.
  EXPECT_EQ(Bytes(image.begin() + 28, image.begin() + 43),
            (Bytes{'A', 0xF0, 0xA5, 0xC2, 0x00, 0x89, 0x67, 0x45, 0x23, 'B', 0xFF, 'C', 0xDE,
                   0xBC, 0}));
}

TEST(SettextParse, ElementsAsTheFormatAllows) {
  struct Case {
    const char* body;
    std::vector<std::uint32_t> values;
  };
  const Case cases[] = {
      {"{0x01, 0x02,}", {1, 2}},                   // first element right after the brace
      {"{ 0X1F, 31, 0x05, }", {5}},                // upper-case X and decimals are not elements
      {"{ 0x12 , 0xff,\r\n 0xA0, }", {0x12, 0xFF, 0xA0}},
      {"{ 0x, 0x7, }", {0, 7}},                    // no digit after the prefix
      {"{ 100x5, }", {5}},                         // "0x" inside other text starts one
      {"{ 0x01, 0x02 }", {1, 2}},                  // last element without its comma
      {"{ 0x01, // 0x99,\r\n 0x02, /* 0x98, */ }", {1, 2}},
  };
  for (const Case& c : cases) {
    const Parsed p = Parse(std::string("const uint8 T[] = ") + c.body + ";");
    ASSERT_EQ(p.status, ParseStatus::Ok) << c.body;
    ASSERT_EQ(p.arrays.size(), 1u) << c.body;
    EXPECT_EQ(p.arrays[0].values, c.values) << "elements of " << c.body;
    EXPECT_EQ(p.arrays[0].elementCount, c.values.size()) << c.body;
  }
}

TEST(SettextParse, TypeWordsAndNames) {
  struct Case {
    const char* declaration;
    std::uint32_t size;
    const char* name;
  };
  const Case cases[] = {
      {"const uint16 SensorInit[]", 2, "SensorInit"},
      {"static const uint8_t \t Gamma[]", 1, "Gamma"},
      {"UINT32 Ids[]", 4, "Ids"},
      {"uchar Flags[]", 1, "Flags"},
      {"unsigned uint Words[]", 2, "Words"},
      {"const uint16 uint8Table[]", 2, "uint8Table"},  // "uint16" is searched first
      {"const UINT8 Spaced [16]", 1, "Spaced "},      // the name runs up to the "["
  };
  for (const Case& c : cases) {
    const Parsed p = Parse(std::string(c.declaration) + " = { 0x01, };");
    ASSERT_EQ(p.arrays.size(), 1u) << c.declaration;
    EXPECT_EQ(p.arrays[0].elementSize, c.size) << c.declaration;
    EXPECT_EQ(p.arrays[0].name, c.name) << c.declaration;
  }
  EXPECT_EQ(Parse("int Bad[] = { 0x01, };").status, ParseStatus::MissingElementType);
}

TEST(SettextParse, CommentsAndDirectives) {
  struct Case {
    const char* what;
    const char* text;
    std::vector<std::string> names;
    std::vector<std::uint32_t> lastValues;
  };
  const Case cases[] = {
      {"if 0 block contributes nothing, not even to the next declaration",
       "#if 0\r\nuint16 Old[] = { 0x01, };\r\n#endif\r\nuint8 New[] = { 0x02, };",
       {"New"}, {2}},
      {"if 1 block with else: only the first part",
       "#if 1\r\nuint8 A[] = { 0x01, };\r\n#else\r\nuint8 B[] = { 0x02, };\r\n#endif\r\n",
       {"A"}, {1}},
      {"if 0 block with else: only the else part",
       "#if 0\r\nuint8 A[] = { 0x01, };\r\n#else\r\nuint8 B[] = { 0x02, };\r\n#endif\r\n",
       {"B"}, {2}},
      {"directives inside an element list",
       "uint8 T[] = {\r\n 0x01,\r\n#if 0\r\n 0x02,\r\n#else\r\n 0x03,\r\n#endif\r\n};",
       {"T"}, {1, 3}},
      {"type word in a comment does not decide",
       "// pairs of uint16 words\r\nconst uint8 T[] = { 0x01, };", {"T"}, {1}},
      {"line comment with LF line ends ends at the LF",
       "// table\nconst uint8 T[] = { 0x01, // first\n 0x02, };\n", {"T"}, {1, 2}},
      {"directive directly after a comment is recognised",
       "/* c */#if 0\r\nuint8 A[] = { 0x01, };\r\n#endif\r\n// c\r\n#if 0\r\n"
       "uint8 B[] = { 0x02, };\r\n#endif\r\nuint8 C[] = { 0x03, };",
       {"C"}, {3}},
      {"block comment with a lone star and slash",
       "/* a * b / c [ */ uint8 T[] = { 0x01, };", {"T"}, {1}},
      {"lone slash and other # lines are text",
       "#define N 4 / 2\r\nconst uint8 T[] = { 0x01, };", {"T"}, {1}},
      {"last element without comma does not swallow the next array",
       "uint8 A[] = { 0x01, 0x02 };\r\nuint8 B[] = { 0x03, };", {"A", "B"}, {3}},
  };
  for (const Case& c : cases) {
    const Parsed p = Parse(c.text);
    ASSERT_EQ(p.status, ParseStatus::Ok) << c.what;
    EXPECT_EQ(Names(p), c.names) << c.what;
    if (!p.arrays.empty()) {
      EXPECT_EQ(p.arrays.back().values, c.lastValues) << c.what;
    }
  }
}

TEST(SettextParse, IfOneStateDoesNotCarryIntoTheNextText) {
  MakeBinFile converter;
  std::string log;
  ASSERT_EQ(converter.ParseSettingBuffer("#if 1\r\nuint8 A[] = { 0x01, };\r\n", log),
            ParseStatus::Ok);
  // A stray #else in the next text must not skip what follows it.
  ASSERT_EQ(converter.ParseSettingBuffer("#else\r\nuint8 B[] = { 0x02, };\r\n", log),
            ParseStatus::Ok);
  ASSERT_EQ(converter.arrays().size(), 1u);
  EXPECT_EQ(converter.arrays()[0].name, "B");
}

// A text that ends inside a comment or an array is refused, with the line
// where the unclosed part starts: taking what came before would silently
// drop the rest of the table. Texts that end after a complete array keep it.
TEST(SettextParse, TextsEndingMidway) {
  struct Case {
    const char* text;
    ParseStatus status;
    std::size_t line;  // of the refusal
    std::size_t arrays;
    std::vector<std::uint32_t> values;
  };
  constexpr ParseStatus kOk = ParseStatus::Ok;
  constexpr ParseStatus kArray = ParseStatus::UnterminatedArray;
  constexpr ParseStatus kComment = ParseStatus::UnterminatedComment;
  const Case cases[] = {
      {"uint8 T[] = { 0x01, 0x2", kArray, 1, 0, {}},
      {"uint8 T[] = { 0x01, 0x", kArray, 1, 0, {}},
      {"uint8 T[] = { 0x01, 0", kArray, 1, 0, {}},
      {"uint8 T[] = { 0x01, /* never closed 0x02,", kComment, 1, 0, {}},
      {"uint8 T[] = { 0x01, // to the end 0x02,", kArray, 1, 0, {}},
      {"uint8 T[] = { 0x01, #if 0 0x02,", kArray, 1, 0, {}},
      {"uint8 T[] = { 0x01, #if 1", kArray, 1, 0, {}},
      {"uint8 A[] = { 0x01, };\r\nuint8 B[] = { 0x02,\r\n", kArray, 2, 0, {}},
      {"uint8 A[] = { 0x01, };\r\n\r\n/* uint8 B[] = { 0x02, };", kComment, 3, 0, {}},
      {"uint8 T[", kArray, 1, 0, {}},
      {"uint8 T[] = ", kArray, 1, 0, {}},
      {"/* uint8 T[] = { 0x01, };", kComment, 1, 0, {}},
      {"#if 1\r\nuint8 T[] = { 0x01, };#else", kOk, 0, 1, {1}},
      {"uint8 T[] = { 0x01, }; /", kOk, 0, 1, {1}},
      {"uint8 T[] = { 0x01, }; #", kOk, 0, 1, {1}},
      {"uint8 T[] = { 0x01, }; // to the end", kOk, 0, 1, {1}},
      {"#if 0\r\nuint8 T[] = { 0x01, };", kOk, 0, 0, {}},
      {"uint8", kOk, 0, 0, {}},
  };
  for (const Case& c : cases) {
    MakeBinFile converter;
    std::string log;
    const ParseStatus status = converter.ParseSettingBuffer(c.text, log);
    EXPECT_EQ(static_cast<int>(status), static_cast<int>(c.status)) << c.text;
    if (status != kOk) {
      EXPECT_EQ(converter.reject_line(), c.line) << c.text << ": line of the refusal";
      EXPECT_TRUE(converter.arrays().empty()) << c.text << ": a refused text yields no array";
      continue;
    }
    ASSERT_EQ(converter.arrays().size(), c.arrays) << c.text;
    if (c.arrays > 0) {
      EXPECT_EQ(converter.arrays()[0].values, c.values) << c.text;
    }
  }
}

// A text past the limit (a device that never ends, a huge file) is refused
// before it is held in memory; one just under it is read.
TEST(SettextParse, TextsPastTheLimitAreRefused) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("lumavix-settext-limit-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string table = "uint8 T[] = { 0x01, };\r\n";
  {
    std::ofstream(dir / "big.txt", std::ios::binary)
        << table << std::string(kMaxSettingTextSize, ' ');
    std::ofstream(dir / "fits.txt", std::ios::binary)
        << table << std::string(kMaxSettingTextSize - table.size(), ' ');
  }
  SettextLogOptions log;
  log.explicitPath = dir / "log.txt";
  const SettextConversion big = ConvertSettingText(dir / "big.txt", kTableDownloadBufferSize, log);
  EXPECT_NE(big.error.find("larger than 4 MiB"), std::string::npos) << big.error;
  const SettextConversion fits =
      ConvertSettingText(dir / "fits.txt", kTableDownloadBufferSize, log);
  EXPECT_TRUE(fits.ok()) << fits.error;
#ifndef _WIN32
  // A device that never ends is refused before a byte of it is read.
  const SettextConversion zero = ConvertSettingText("/dev/zero", kTableDownloadBufferSize, log);
  EXPECT_NE(zero.error.find("not a regular file"), std::string::npos)
      << "expected /dev/zero refused as no regular file, got: " << zero.error;
#endif
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

TEST(SettextImage, RefusesWhatTheFormatCannotHold) {
  MakeBinFile converter;
  std::string log;
  std::size_t size = 0;

  std::string many;
  for (int k = 0; k < 256; ++k)
    many += "uint8 A[] = { 0x01, };\r\n";
  ASSERT_EQ(converter.ParseSettingBuffer(many, log), ParseStatus::Ok);
  EXPECT_EQ(converter.CheckSettingImage(1 << 20, size), ImageStatus::TooManyArrays);

  // 3 × 40000 one-byte elements: fits a large buffer, but the third
  // array's positions pass 16 bits.
  std::string wide = "uint8 A[] = {";
  for (int k = 0; k < 40000; ++k)
    wide += "0x1,";
  wide += "};";
  ASSERT_EQ(converter.ParseSettingBuffer(wide + wide + wide, log), ParseStatus::Ok);
  EXPECT_EQ(converter.CheckSettingImage(1 << 20, size), ImageStatus::FieldOverflow);
  EXPECT_EQ(converter.CheckSettingImage(65536, size), ImageStatus::BufferTooSmall);

  ASSERT_EQ(converter.ParseSettingBuffer("// nothing here\r\n", log), ParseStatus::Ok);
  EXPECT_EQ(converter.CheckSettingImage(4096, size), ImageStatus::NoArrays);
}

// A one-array uint8 text whose image is `imageSize` bytes: 10 header bytes,
// the name "T", then elements.
std::string TextOfImageSize(std::size_t imageSize) {
  std::string text = "const uint8 T[] = {\r\n";
  for (std::size_t k = 0; k < imageSize - 11; ++k)
    text += "0x5A,";
  return text + "\r\n};\r\n";
}

TEST_F(SettextFiles, MakeBinWritesWithinTheCallersBufferOnly) {
  struct Case {
    std::size_t imageSize;
    bool fits;
  };
  for (const Case c : {Case{4096, true}, Case{4097, false}}) {
    const auto text = Write("t.txt", TextOfImageSize(c.imageSize));
    Bytes buffer(kTxtMakeBinBufferSize + 16, 0xEE);
    std::size_t size = 7;
    EXPECT_EQ(MakeBin(text, std::span(buffer).first(kTxtMakeBinBufferSize), size,
                      LogTo("t.log")),
              1);
    EXPECT_EQ(size, c.fits ? c.imageSize : 7u) << "size for image of " << c.imageSize;
    EXPECT_EQ(buffer[0], c.fits ? 1 : 0xEE) << "image of " << c.imageSize;
    for (std::size_t k = kTxtMakeBinBufferSize; k < buffer.size(); ++k)
      ASSERT_EQ(buffer[k], 0xEE) << "byte " << k << " past the buffer was written";
  }
}

TEST_F(SettextFiles, MakeBinLeavesBufferAndSizeWhenNothingIsFound) {
  for (const char* text : {"// no arrays\r\n", "int x[] = { 0x01, };"}) {
    Bytes buffer(16, 0xEE);
    std::size_t size = 3;
    MakeBin(Write("t.txt", text), buffer, size, LogTo("t.log"));
    EXPECT_EQ(size, 3u) << text;
    EXPECT_EQ(buffer, Bytes(16, 0xEE)) << text;
  }
  Bytes buffer(16, 0xEE);
  std::size_t size = 3;
  MakeBin(dir_ / "missing.txt", buffer, size, LogTo("t.log"));
  EXPECT_EQ(size, 3u);
}

TEST_F(SettextFiles, SampleTextImageAndLog) {
  const auto log = LogTo("sample.log");
  const SettextConversion result =
      ConvertSettingText(LUMAVIX_TEST_DATA_DIR "/settext/backend_init.txt", 65536, log);
  ASSERT_TRUE(result.ok()) << result.error;
  EXPECT_EQ(result.arrayCount, 3u);
  EXPECT_EQ(result.names, (std::vector<std::string>{"BackendInit", "GammaCurve", "SensorId"}));
  EXPECT_EQ(result.logPath, log.explicitPath);

  const Bytes directory(result.image.begin(), result.image.begin() + 28);
  EXPECT_EQ(directory, (Bytes{3,                               //
                              28, 0, 11, 0, 39, 0, 2, 16, 0,   //
                              55, 0, 10, 0, 65, 0, 1, 6, 0,    //
                              71, 0, 8, 0, 79, 0, 4, 8, 0}));
  ASSERT_EQ(result.image.size(), 87u);
  EXPECT_EQ(Bytes(result.image.begin() + 39, result.image.begin() + 43), (Bytes{0, 1, 1, 0}));
  EXPECT_EQ(Bytes(result.image.begin() + 79, result.image.end()),
            (Bytes{0xF0, 0xA5, 0xC2, 0x00, 0xFF, 0xFF, 0x01, 0x00}));

  EXPECT_EQ(ReadFile(log.explicitPath),
            "uint16BackendInit\r\nElements are followed:\r\n"
            "0x0100\t0x0001\t0x0102\t0x1F40\t0x0104\t0x0003\t0x0108\t0x00FF\t\r\n\r\n"
            "uint8GammaCurve\r\nElements are followed:\r\n"
            "0x00\t0x10\t0x20\t0x40\t0x80\t0xFF\t\r\n\r\n"
            "uint32SensorId\r\nElements are followed:\r\n"
            "0x00C2A5F0\t0x0001FFFF\t\r\n\r\n");
}

TEST_F(SettextFiles, LogIsRewrittenByEveryConversion) {
  const auto log = LogTo("t.log");
  Bytes buffer(64);
  std::size_t size = 0;
  MakeBin(Write("a.txt", "const uint8 LongerName[] = { 0x01, 0x02, 0x03, };"), buffer, size,
          log);
  MakeBin(Write("b.txt", "const uint8 T[] = { 0x01, 0x02, };"), buffer, size, log);
  EXPECT_EQ(ReadFile(log.explicitPath),
            "uint8T\r\nElements are followed:\r\n0x01\t0x02\t\r\n\r\n");
  EXPECT_EQ(size, 13u);
}

TEST_F(SettextFiles, LogFallsBackWhenTheProgramDirectoryIsNotWritable) {
  // A regular file in place of the program's directory cannot hold a log,
  // whoever runs the test.
  Write("notadir", "");
  const auto text = Write("t.txt", "const uint8 T[] = { 0x01, 0x02, };");
  const std::string expectedLog = "uint8T\r\nElements are followed:\r\n0x01\t0x02\t\r\n\r\n";

  const SettextLogOptions fallback{{}, dir_ / "notadir" / "lumavix-fw", dir_ / "state"};
  SettextConversion result = ConvertSettingText(text, 4096, fallback);
  ASSERT_TRUE(result.ok()) << result.error;
  EXPECT_EQ(result.logPath, dir_ / "state" / "lumavix" / "lumavix-fw.log");
  EXPECT_EQ(ReadFile(result.logPath), expectedLog);

  const SettextLogOptions none{{}, dir_ / "notadir" / "lumavix-fw", dir_ / "notadir" / "s"};
  result = ConvertSettingText(text, 4096, none);
  ASSERT_TRUE(result.ok()) << "a conversion without a log place must still succeed: "
                           << result.error;
  EXPECT_TRUE(result.logPath.empty());
  EXPECT_EQ(result.image.size(), 13u);

  // An explicitly requested log that cannot be written is an error.
  result = ConvertSettingText(text, 4096, {dir_ / "notadir" / "x.log", {}, {}});
  EXPECT_FALSE(result.ok());
  EXPECT_NE(result.error.find("x.log"), std::string::npos) << result.error;
}

TEST(SettextLog, CandidatesBesideTheProgramThenStateHome) {
  EXPECT_EQ(SettextLogCandidates({{}, "/usr/bin/tool.bin", "/home/u/.state"}),
            (std::vector<std::filesystem::path>{"/usr/bin/tool.log",
                                                "/home/u/.state/lumavix/tool.log"}));
  EXPECT_EQ(SettextLogCandidates({"/tmp/x.log", "/usr/bin/tool", "/s"}),
            (std::vector<std::filesystem::path>{"/tmp/x.log"}));

#ifdef _WIN32
  // Windows keeps a program's logs under the user's local application data.
  const char* oldLocal = std::getenv("LOCALAPPDATA");
  const std::string savedLocal = oldLocal ? oldLocal : "";
  setenv("LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local", 1);
  EXPECT_EQ(SettextLogCandidates({{}, "C:\\Tools\\tool.exe", {}}).back(),
            std::filesystem::path("C:\\Users\\u\\AppData\\Local\\lumavix\\tool.log"));
  oldLocal ? setenv("LOCALAPPDATA", savedLocal.c_str(), 1) : unsetenv("LOCALAPPDATA");
#else
  const char* oldXdg = std::getenv("XDG_STATE_HOME");
  const char* oldHome = std::getenv("HOME");
  const std::string savedXdg = oldXdg ? oldXdg : "";
  const std::string savedHome = oldHome ? oldHome : "";
  setenv("HOME", "/home/u", 1);
  setenv("XDG_STATE_HOME", "/var/state", 1);
  EXPECT_EQ(SettextLogCandidates({{}, "/usr/bin/tool", {}}).back(),
            std::filesystem::path("/var/state/lumavix/tool.log"));
  setenv("XDG_STATE_HOME", "relative", 1);  // not absolute: ignored
  EXPECT_EQ(SettextLogCandidates({{}, "/usr/bin/tool", {}}).back(),
            std::filesystem::path("/home/u/.local/state/lumavix/tool.log"));
  oldXdg ? setenv("XDG_STATE_HOME", savedXdg.c_str(), 1) : unsetenv("XDG_STATE_HOME");
  oldHome ? setenv("HOME", savedHome.c_str(), 1) : unsetenv("HOME");
#endif
}

TEST_F(SettextFiles, ConversionErrorsAreReadable) {
  struct Case {
    std::string text;  // empty: the file does not exist
    std::size_t capacity;
    const char* expected;
  };
  const Case cases[] = {
      {"", 4096, "cannot read setting text"},
      {"// only a comment\r\n", 4096, "holds no arrays"},
      {"uint8 A[] = { 0x01, };\r\nint B[] = { 0x02, };", 4096, "line 2"},
      {TextOfImageSize(4097), 4096, "image of 4097 bytes; at most 4096 fit"},
  };
  for (const Case& c : cases) {
    const auto path = c.text.empty() ? dir_ / "missing.txt" : Write("t.txt", c.text);
    const SettextConversion result = ConvertSettingText(path, c.capacity, LogTo("t.log"));
    EXPECT_FALSE(result.ok()) << c.expected;
    EXPECT_NE(result.error.find(c.expected), std::string::npos)
        << "expected \"" << c.expected << "\" in: " << result.error;
    EXPECT_TRUE(result.image.empty()) << c.expected;
  }
}


#ifndef _WIN32
// The converter's log folder under the state home is the one the run traces
// use: private whoever makes it first, and tightened when an earlier
// version left it open.
TEST(SettextLog, StateFolderIsPrivate) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("lumavix-settext-folder-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "t.txt", std::ios::binary) << "uint8 T[] = { 0x01, };\r\n";
  SettextLogOptions log;
  log.programPath = dir / "missing" / "lumavix-fw";  // its folder cannot take the log
  log.stateHome = dir / "state";
  for (const bool existed : {false, true}) {
    if (existed) ::chmod((dir / "state" / "lumavix").c_str(), 0755);
    const SettextConversion c = ConvertSettingText(dir / "t.txt", kTableDownloadBufferSize, log);
    ASSERT_TRUE(c.ok()) << c.error;
    EXPECT_EQ(c.logPath.parent_path(), dir / "state" / "lumavix");
    struct stat st {};
    ASSERT_EQ(::stat((dir / "state" / "lumavix").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << (existed ? "an open folder left by an earlier run"
                                                    : "a folder the converter made");
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}
#endif

}  // namespace
}  // namespace lumavix
