// The memory listing parser reads whole words at a time; it must say exactly
// what a plain reading of each line says, whatever the blanks, tabs and
// lengths, and wherever a run of blanks falls against those words.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "pool/process/process_listing.h"

namespace vel {
namespace {

// The line read one character at a time: four decimal fields, then the
// command with each run of blanks as one NUL.
struct PlainRow {
  uint64_t pid, ppid, uid, rss_kib;
  std::string args;
};

std::optional<PlainRow> plain_reading(std::string_view line) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!line.empty() && (blank(line.front()) || line.front() == '\r')) line.remove_prefix(1);
  while (!line.empty() && (blank(line.back()) || line.back() == '\r')) line.remove_suffix(1);
  uint64_t field[4];
  for (uint64_t& f : field) {
    while (!line.empty() && blank(line.front())) line.remove_prefix(1);
    size_t n = 0;
    unsigned __int128 v = 0;
    for (; n < line.size() && !blank(line[n]); ++n) {
      if (line[n] < '0' || line[n] > '9') return std::nullopt;
      v = v * 10 + static_cast<unsigned>(line[n] - '0');
      if (v > UINT64_MAX) return std::nullopt;
    }
    if (n == 0) return std::nullopt;
    f = static_cast<uint64_t>(v);
    line.remove_prefix(n);
  }
  if (field[0] > UINT32_MAX || field[1] > UINT32_MAX || field[2] > UINT32_MAX || field[3] >= (uint64_t{1} << 54)) {
    return std::nullopt;
  }
  while (!line.empty() && blank(line.front())) line.remove_prefix(1);
  if (line.empty()) return std::nullopt;
  std::string args;
  bool gap = false;
  for (char c : line) {
    if (blank(c)) {
      gap = true;
      continue;
    }
    if (gap) args += '\0';
    gap = false;
    args += c;
  }
  return PlainRow{field[0], field[1], field[2], field[3], args};
}

void expect_row_reads(const MemoryListing& listing, const ProcessRow& r, const PlainRow& plain, const std::string& line) {
  EXPECT_EQ(r.pid, plain.pid) << line;
  EXPECT_EQ(r.ppid, plain.ppid) << line;
  EXPECT_EQ(r.uid, plain.uid) << line;
  EXPECT_EQ(r.rss_bytes, plain.rss_kib * 1024) << line;
  EXPECT_EQ(listing.args_of(r), plain.args) << '"' << line << '"';
}

void expect_same_reading(const std::string& line) {
  MemoryListing listing;
  const bool taken = parse_memory_listing_line(line, listing);
  const auto plain = plain_reading(line);
  ASSERT_EQ(taken, plain.has_value()) << '"' << line << '"';
  if (!plain) return;
  ASSERT_EQ(listing.rows.size(), 1u);
  expect_row_reads(listing, listing.rows[0], *plain, line);
}

// The whole listing is read apart from a single line: its lines must read as
// they do one by one, wherever they fall in the text and whatever follows.
void expect_same_listing(const std::vector<std::string>& lines, std::string_view ending) {
  std::string text;
  std::vector<PlainRow> plain;
  std::vector<std::string> taken_lines;
  for (const std::string& line : lines) {
    text += line;
    text += ending;
    if (auto row = plain_reading(line)) {
      plain.push_back(*row);
      taken_lines.push_back(line);
    }
  }
  for (const std::string_view body : {std::string_view(text), std::string_view(text).substr(0, text.size() - ending.size())}) {
    const MemoryListing listing = parse_memory_listing(body);
    ASSERT_EQ(listing.rows.size(), plain.size());
    for (size_t i = 0; i < plain.size(); ++i) expect_row_reads(listing, listing.rows[i], plain[i], taken_lines[i]);
  }
}

TEST(MemoryListingLine, ReadsAsThePlainReadingDoes) {
  using namespace std::string_literals;
  const std::string lines[] = {
      "1 2 3 4 a",
      "  1\t2  3 4\tcmd\targ",
      "1 2 3 4 /usr/bin/aerender -project   p  -comp \tMain",
      "1 2 3 4 abcdefghijklmno pqrstuvwxyzABCDE  FGHIJKLMNOPQRSTU",  // runs at word edges
      "1 2 3 4 abcdefghijklmnop qrstuvwxyzABCDEF GHIJKLMNOPQRSTUV W",
      "1 2 3 4 abcdefghijklmno\t\tpqrstuvwxyzABCDE",
      "1 2 3 4 abcdefghijklmnop  ",
      "1 2 3 4 cmd \r",
      "\r1 2 3 4 cmd",
      "1 2 3 4",
      "1 2 3 4 ",
      "4294967295 4294967295 4294967295 18014398509481983 big",
      "4294967296 1 1 1 pid-too-big",
      "1 1 1 18014398509481984 rss-too-big",
      "1 1 1 99999999999999999999 rss-overflows",
      "00000000000000000000000000001 2 3 4 zeros",
      "1 2 3 4x cmd",
      "1 2 -3 4 cmd",
      "1 2 3 4 caf\xe9 \xff\xfe",
      "1 2 3 4 nul\0inside  x"s,
  };
  for (const std::string& line : lines) expect_same_reading(line);
  const std::vector<std::string> listing(std::begin(lines), std::end(lines));
  expect_same_listing(listing, "\n");
  expect_same_listing(listing, "\r\n");
}

TEST(MemoryListingLine, GeneratedCommandsReadAsThePlainReadingDoes) {
  std::mt19937 random(7);  // fixed: the same lines on every run
  const std::string alphabet = "ab/-=. \t\t  \r0";
  for (int n = 0; n < 3000; ++n) {
    std::string line = std::to_string(random() % 100000) + (random() % 2 ? " " : " \t ") + "1 1000  " +
                       std::to_string(random() % 5000) + " ";
    const size_t length = random() % 70;
    for (size_t i = 0; i < length; ++i) line += alphabet[random() % alphabet.size()];
    expect_same_reading(line);
  }
}

// Numbers of every width, one to twenty digits with leading zeros, and
// commands of every length around the sixteen bytes read at a time, so the
// listing's lines start and end anywhere against those reads.
TEST(MemoryListingLine, GeneratedListingsReadAsTheirLinesDo) {
  std::mt19937 random(11);  // fixed: the same listings on every run
  const std::string alphabet = "ab/-=.0 \t \r";
  const auto number = [&] {
    const size_t width = 1 + random() % (random() % 4 == 0 ? 20 : 8);
    std::string n;
    for (size_t i = 0; i < width; ++i) n += static_cast<char>('0' + random() % 10);
    return n;
  };
  for (int n = 0; n < 300; ++n) {
    std::vector<std::string> lines;
    for (int k = 0; k < 12; ++k) {
      std::string line(random() % 3, ' ');
      for (int f = 0; f < 4; ++f) line += number() + (random() % 8 == 0 ? "\t " : std::string(1 + random() % 2, ' '));
      const size_t length = random() % 40;
      for (size_t i = 0; i < length; ++i) line += alphabet[random() % alphabet.size()];
      if (random() % 16 == 0) line[random() % line.size()] = 'x';
      lines.push_back(line);
    }
    expect_same_listing(lines, random() % 4 == 0 ? "\r\n" : "\n");
  }
}

}  // namespace
}  // namespace vel
