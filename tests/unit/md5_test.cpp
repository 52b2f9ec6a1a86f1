#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "setup/common/handles.h"
#include "setup/common/file_digests.h"
#include "setup/common/md5.h"
#include "setup/common/string_util.h"
#include "test_util.h"

namespace zan {
namespace {

using zan_test::LogLinesAdded;
using zan_test::ReadFileBytes;
using zan_test::TempFolder;
using zan_test::WriteFileBytes;

// Expected digests below come from RFC 1321's test suite or were computed
// with md5sum over the same bytes, never from the code under test.
const char kDigits[] = "12345678901234567890123456789012345678901234567890123456789012345678901234567890";

std::string Repeat(const std::string& piece, size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

using zan_test::Md5Text;

std::string DigestOf(Md5Context& context) {
  unsigned char digest[Md5Context::kDigestSize];
  context.Finish(digest);
  return Md5DigestText(digest);
}

// RFC 1321's suite, then runs of 'a' around the length field: 55 bytes
// leave just room for the 0x80 byte and the count; from 56 on the padding
// runs into a second block.
TEST(Md5Context, Rfc1321TestSuiteAndPaddingAroundTheLengthField) {
  auto a = [](size_t count) { return std::string(count, 'a'); };
  const std::pair<std::string, const char*> kSuite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},    {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"}, {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {kDigits, "57edf4a22be3c955ac49da2e2107b67a"}, {a(1000000), "7707d6ae4e027c70eea2a935c2296f21"},
      {a(55), "ef1772b6dff9a122358552954ad0df65"}, {a(56), "3b0c8ac703f828b04c6c197006d17218"},
      {a(57), "652b906d60af96844ebd21b674f35e93"}, {a(63), "b06521f39153d618550606be297466d5"},
      {a(64), "014842d480b571495a4a0363793f7367"}, {a(65), "c743a45e0d2e6a95cb859adae0248435"},
  };
  for (const auto& v : kSuite) EXPECT_EQ(v.second, Md5Text(v.first)) << v.first.size() << " bytes";
}

TEST(Md5Context, PiecesOfAnySizeGiveTheDigestOfTheWholeAndStartForgetsEarlierInput) {
  // Seven copies of the 80 digits (560 bytes), fed in pieces of 1 to 70
  // bytes (and empty ones) so that pieces straddle, fill and overrun the
  // 64-byte blocks.
  const std::string data = Repeat(kDigits, 7);
  for (size_t step = 1; step <= 70; step += 3) {
    Md5Context context;
    context.Add(data.data(), step);
    context.Start();
    size_t at = 0;
    for (size_t index = 0; at < data.size(); ++index) {
      size_t piece = 1 + (index * step) % 70;
      if (piece > data.size() - at) piece = data.size() - at;
      context.Add(data.data() + at, piece);
      context.Add(data.data() + at, 0);
      at += piece;
    }
    EXPECT_EQ("d0e5870a64c25af2b0e91b3afc3c699f", DigestOf(context)) << "step " << step;
  }
}

TEST(Md5Context, LongPiecesAtAnyAlignmentGiveTheDigestOfTheWhole) {
  // 10,000 bytes in one piece from each of four alignments, and again after
  // a 3-byte piece, so that the long piece first completes a buffered block
  // and then runs through whole blocks read straight from the caller's bytes.
  std::string bytes;
  for (int i = 0; i < 10000; ++i) bytes += static_cast<char>(i * 7 % 251);
  std::vector<char> room(bytes.size() + 4);
  for (size_t offset = 0; offset < 4; ++offset) {
    char* at = room.data() + offset;
    memcpy(at, bytes.data(), bytes.size());
    for (size_t first : {bytes.size(), size_t{3}}) {
      Md5Context context;
      context.Add(at, first);
      context.Add(at + first, bytes.size() - first);
      EXPECT_EQ("018b2477dacde0f3980e695a1d86f43f", DigestOf(context))
          << "offset " << offset << ", first piece " << first;
    }
  }
}

TEST(Md5Context, BitCountCarriesIntoTheHighWordPast512MiB) {
  // 513 MiB + 7 zero bytes: the low count word wraps once.
  std::vector<char> zeros(1 << 20, 0);
  Md5Context context;
  for (int i = 0; i < 513; ++i) context.Add(zeros.data(), zeros.size());
  context.Add(zeros.data(), 7);
  EXPECT_EQ("7c891b37bdd65c1ffb5412dfac41e015", DigestOf(context));
}

class CheckFileMd5Test : public ::testing::Test {
 protected:
  std::wstring Write(const std::wstring& name, const std::string& bytes) {
    std::wstring path = folder_.File(name);
    EXPECT_TRUE(WriteFileBytes(path, bytes));
    return path;
  }
  TempFolder folder_;
};

// 10,240 bytes fill the read buffer exactly once, 10,241 need a second read
// of one byte, five MiB many buffers; the expected digest's case does not matter.
TEST_F(CheckFileMd5Test, MatchesKnownDigestsAcrossTheReadBufferSizeInAnyCase) {
  LogLinesAdded log;
  const std::string oneBuffer = Repeat(kDigits, 128);
  ASSERT_EQ(10240u, oneBuffer.size());
  const std::pair<std::string, const wchar_t*> kFiles[] = {
      {"", L"d41d8cd98f00b204e9800998ecf8427e"},           {"", L"D41D8CD98F00B204E9800998ECF8427E"},
      {"", L"D41d8Cd98f00B204e9800998ECF8427e"},           {"abc", L"900150983cd24fb0d6963f7d28e17f72"},
      {oneBuffer, L"74c9a643db97666afadd7b732c03b619"},     {oneBuffer + "a", L"339152cea298f3671c5eef573afb0b0f"},
      {Repeat(kDigits, 65536), L"8582e68e5c7e34f08e7fcde487715ae2"},
  };
  for (const auto& file : kFiles) {
    EXPECT_TRUE(CheckFileMd5(Write(L"file.bin", file.first), file.second)) << file.first.size() << " bytes";
  }
  EXPECT_TRUE(log.Messages().empty());
}

// The whole file is read, however large: a file of 4 GiB and 3 bytes that
// begins with "abc" is no file "abc" (its size modulo 4 GiB).
TEST_F(CheckFileMd5Test, AFileOfMoreThanFourGiBIsCheckedWhole) {
  const std::wstring path = Write(L"huge.bin", "abc");
  {
    ScopedFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    LARGE_INTEGER end;
    end.QuadPart = (1LL << 32) + 3;  // the rest stays a hole: no disk is used
    ASSERT_TRUE(::SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) && ::SetEndOfFile(file.get()));
  }
  LogLinesAdded log;
  EXPECT_FALSE(CheckFileMd5(path, L"900150983cd24fb0d6963f7d28e17f72"));
  ASSERT_EQ(1u, log.Messages().size());
  EXPECT_EQ(0u, log.Messages()[0].find("compare md5 failed, expected: 900150983cd24fb0d6963f7d28e17f72, real: "));
  EXPECT_EQ(std::string::npos, log.Messages()[0].find("real: 900150983cd24fb0d6963f7d28e17f72"));
}

// A published SHA-256 must match as well, read in the same pass over the
// file; its absence leaves the MD5 check as it was. Any other expected text
// than the digest in either case fails, with one line naming both digests.
TEST_F(CheckFileMd5Test, BothDigestsMustMatchAndAMismatchNamesBoth) {
  const std::wstring file = Write(L"10241.bin", Repeat(kDigits, 128) + "a");
  const std::wstring md5 = L"339152cea298f3671c5eef573afb0b0f";
  const std::wstring sha256 = L"5f7c3997779bc6cdac23759c498fbf5ba2cff0518c11790c4f1d64238372901d";
  const std::wstring abcSha256 = L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  struct Row {
    ExpectedDigests expected;
    bool matches;
    std::string line;
  };
  std::vector<Row> rows = {
      {{md5, true, sha256}, true, ""},
      {{md5, true, L"5F7C3997779BC6CDAC23759C498FBF5BA2CFF0518C11790C4F1D64238372901D"}, true, ""},
      {{md5, false, abcSha256}, true, ""},
      {{md5, true, abcSha256}, false,
       "compare sha256 failed, expected: " + WideToUtf8(abcSha256) + ", real: " + WideToUtf8(sha256)},
      {{md5, true, L""}, false, "compare sha256 failed, expected: , real: " + WideToUtf8(sha256)},
  };
  for (const std::wstring& wrong : {std::wstring(), md5.substr(0, 16), md5 + L" ", L" " + md5, md5.substr(0, 31),
                                    md5 + L"0", std::wstring(L"900150983cd24fb0d6963f7d28e17f72")}) {
    rows.push_back({{wrong, true, sha256}, false,
                    "compare md5 failed, expected: " + WideToUtf8(wrong) + ", real: " + WideToUtf8(md5)});
  }
  for (const Row& row : rows) {
    LogLinesAdded log;
    EXPECT_EQ(row.matches, CheckFileDigests(file, row.expected)) << row.line;
    EXPECT_EQ(row.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.line}, log.Messages());
  }
}

// A file that cannot be opened, or is still open for writing, fails
// without a log line.
TEST_F(CheckFileMd5Test, UnopenableFilesAndFilesStillOpenForWritingFailWithoutALogLine) {
  const std::wstring path = Write(L"abc.bin", "abc");
  const wchar_t kDigest[] = L"900150983cd24fb0d6963f7d28e17f72";
  LogLinesAdded log;
  // A folder is not a file that can be read, not even as an empty one.
  for (const std::wstring& unopenable : {folder_.File(L"missing.bin"), folder_.File(L"no-folder\\abc.bin"),
                                         folder_.path().substr(0, folder_.path().size() - 1)}) {
    EXPECT_FALSE(CheckFileMd5(unopenable, L"d41d8cd98f00b204e9800998ecf8427e")) << WideToUtf8(unopenable);
  }
  // Even a writer that lets readers in keeps the check out: it does not share write access.
  for (DWORD writerShare : {DWORD{0}, DWORD{FILE_SHARE_READ}}) {
    ScopedFile writer(::CreateFileW(path.c_str(), GENERIC_WRITE, writerShare, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer.valid());
    EXPECT_FALSE(CheckFileMd5(path, kDigest)) << "writer share mode " << writerShare;
  }
  EXPECT_TRUE(log.Messages().empty());
  // Another reader does not stand in the way, and the writer's close frees the file.
  ScopedFile reader(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(reader.valid());
  EXPECT_TRUE(CheckFileMd5(path, kDigest));
}

}  // namespace
}  // namespace zan
