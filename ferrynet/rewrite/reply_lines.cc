#include "ferrynet/rewrite/reply_lines.h"

#include <cstring>
#include <limits>

#include "ferrynet/core/limits.h"
#include "ferrynet/core/net.h"

namespace ferrynet {

SliceLines::SliceLines(std::string_view text) : text_(text.data()), size_(static_cast<int>(text.size())) { measure(); }

void SliceLines::measure() { len_ = over_ || pos_ >= size_ ? -1 : line_length(text_ + pos_, size_ - pos_); }

std::string_view SliceLines::line() const {
  if (len_ <= 0) return {};
  return {text_ + pos_, static_cast<size_t>(len_ - 1)};
}

std::string_view SliceLines::content() const { return strip_line_end(line()); }

void SliceLines::next() {
  if (len_ <= 0) return;
  over_ = is_reply_end(line());
  pos_ += len_;
  measure();
}

std::string_view strip_line_end(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

namespace {
bool is_digit(char ch) { return ch >= '0' && ch <= '9'; }
bool is_space(char ch) { return ch == ' ' || (ch >= '\t' && ch <= '\r'); }

int digit_value(char ch) {
  if (is_digit(ch)) return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return 99;
}
}  // namespace

bool is_reply_end(std::string_view line) {
  return line.size() >= 4 && is_digit(line[0]) && is_digit(line[1]) && is_digit(line[2]) && line[3] == ' ';
}

std::string_view columns(std::string_view s, size_t col, size_t n) {
  if (col >= s.size()) return {};
  return s.substr(col, n);
}

std::string_view word_at(std::string_view s, size_t col) {
  std::string_view rest = columns(s, col);
  size_t start = rest.find_first_not_of(' ');
  if (start == std::string_view::npos) return {};
  rest.remove_prefix(start);
  return rest.substr(0, rest.find(' '));
}

int32_t clamp32(int64_t v) {
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

size_t scan_int(std::string_view s, int base, int32_t* out) {
  size_t i = 0;
  while (i < s.size() && is_space(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (base == 0) {
    base = 10;
    if (i < s.size() && s[i] == '0') {
      base = 8;
      if (i + 2 < s.size() && (s[i + 1] == 'x' || s[i + 1] == 'X') && digit_value(s[i + 2]) < 16) {
        base = 16;
        i += 2;
      }
    }
  }
  const size_t first_digit = i;
  // Past this the value only matters as "too big"; growing it further would overflow.
  constexpr int64_t kCap = int64_t{1} << 40;
  int64_t value = 0;
  while (i < s.size() && digit_value(s[i]) < base) {
    if (value < kCap) value = value * base + digit_value(s[i]);
    ++i;
  }
  if (i == first_digit) return 0;
  *out = clamp32(negative ? -value : value);
  return i;
}

void ReplyWriter::raw(std::string_view text) {
  // After a final line the client takes anything more for the start of the next reply.
  if (text.empty() || ended_) return;
  to_.reply(text);
  if (text.back() != '\n') {
    ended_ = false;
    return;
  }
  size_t start = 0;
  if (text.size() >= 2) {
    size_t lf = text.rfind('\n', text.size() - 2);
    if (lf != std::string_view::npos) start = lf + 1;
  }
  ended_ = is_reply_end(text.substr(start));
}

void ReplyWriter::line(std::string_view text) {
  // A site's line may come with its CR or without; the client's ends in CR LF either way.
  text = strip_line_end(text);
  std::string out;
  out.reserve(text.size() + 2);
  out.append(text);
  out.append("\r\n");
  raw(out);
}

void ReplyWriter::end_reply() {
  if (!ended_) raw(kCommandSuccessful);
}

}  // namespace ferrynet
