// Reading site replies at fixed columns and writing merged replies. Every
// reader stays inside the text it is given, whatever the sites sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ferrynet/session/session.h"

namespace ferrynet {

// The complete lines of one site's reply, read in place: from the slice's
// start up to and including the line that ends the reply. Text after that
// line, and a last piece without LF, are no lines.
class SliceLines {
 public:
  SliceLines() = default;  // no lines
  explicit SliceLines(std::string_view text);
  bool has_line() const { return len_ > 0; }
  // The current line without its LF (a CR before it stays).
  std::string_view line() const;
  // The current line without its line end.
  std::string_view content() const;
  void next();
  // Bytes from the slice's start up to the current line.
  int consumed() const { return pos_; }

 private:
  void measure();

  const char* text_ = nullptr;
  int size_ = 0;
  int pos_ = 0;
  int len_ = -1;  // current line through its LF, or -1
  bool over_ = false;
};

std::string_view strip_line_end(std::string_view line);
// Three digits and a blank: the last line of a reply.
bool is_reply_end(std::string_view line);
// Characters from `col` on (at most `n`), empty where the line is shorter.
std::string_view columns(std::string_view s, size_t col, size_t n = std::string_view::npos);
// The blank-delimited word that starts at `col`, leading blanks skipped.
std::string_view word_at(std::string_view s, size_t col);

// Reads an integer as scanf's "%i" (base 0: 0x hexadecimal, leading 0
// octal) or "%d" (base 10) would: white space, sign, digits. Returns the
// characters used, 0 when there is no number. The value is clamped to 32 bits.
size_t scan_int(std::string_view s, int base, int32_t* out);
int32_t clamp32(int64_t v);

// Sends one merged reply to the client. Lines go out whole, however long,
// so none loses its line end; nothing goes out after the reply's final line.
class ReplyWriter {
 public:
  explicit ReplyWriter(Session& to) : to_(to) {}
  // Sends `text`, which carries its own line end.
  void raw(std::string_view text);
  // Sends `text` (a line end on it is dropped) followed by CR LF.
  void line(std::string_view text);
  // A merge of odd site text may run out before a final line was sent; the
  // client must never be left waiting for one.
  void end_reply();

 private:
  Session& to_;
  bool ended_ = false;
};

// The daemon's own closing line of a merged reply.
inline constexpr std::string_view kCommandSuccessful = "200 Command Successful.\r\n";

}  // namespace ferrynet
