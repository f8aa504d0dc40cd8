#include "ferrynet/data/data_address.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace ferrynet {

namespace {

// Reads the way "%d" does (leading white space, a sign, digits) but never
// past `end`, and saturates instead of overflowing.
bool read_number(const char*& p, const char* end, long& value) {
  while (p < end && std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  const char* digits = p;
  long v = 0;
  while (p < end && *p >= '0' && *p <= '9') {
    if (v < 100000) v = v * 10 + (*p - '0');
    ++p;
  }
  if (p == digits) return false;
  value = negative ? -v : v;
  return true;
}

// Six comma-separated numbers, each a byte; what follows the sixth is not read.
bool read_six(const char* p, const char* end, DataTarget& out) {
  long n[6];
  for (int i = 0; i < 6; ++i) {
    if (i > 0) {
      if (p >= end || *p != ',') return false;
      ++p;
    }
    if (!read_number(p, end, n[i]) || n[i] < 0 || n[i] > 255) return false;
  }
  for (int i = 0; i < 4; ++i) out.quad[i] = static_cast<int>(n[i]);
  out.port = static_cast<uint16_t>(n[4] * 256 + n[5]);
  return true;
}

// The first line of `text`, without reading past a NUL or `len`.
const char* first_line_end(const char* text, size_t len) {
  const char* end = text;
  while (end < text + len && *end != '\n' && *end != '\0') ++end;
  return end;
}

// One to `max_digits` decimal digits and nothing else up to `end`.
bool whole_number(const char* p, const char* end, int max_digits, long& value) {
  if (p >= end || end - p > max_digits) return false;
  long v = 0;
  for (; p < end; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + (*p - '0');
  }
  value = v;
  return true;
}

// Exactly four dot-separated numbers of one to three digits, each a byte.
bool strict_quad(const char* p, const char* end, int quad[4]) {
  for (int i = 0; i < 4; ++i) {
    const char* stop = p;
    while (stop < end && *stop != '.') ++stop;
    if ((i < 3) != (stop < end)) return false;
    long v;
    if (!whole_number(p, stop, 3, v) || v > 255) return false;
    quad[i] = static_cast<int>(v);
    p = stop + 1;
  }
  return true;
}

// The text of an IPv6 address alone: hex digits, colons and the dots of an
// embedded IPv4 tail, copied out before the system's parser sees it.
bool ipv6_literal(const char* p, const char* end, uint8_t (&bytes)[16]) {
  char text[INET6_ADDRSTRLEN] = {};
  if (p >= end || static_cast<size_t>(end - p) >= sizeof text) return false;
  for (const char* c = p; c < end; ++c)
    if (!std::isxdigit(static_cast<unsigned char>(*c)) && *c != ':' && *c != '.') return false;
  std::memcpy(text, p, static_cast<size_t>(end - p));
  return inet_pton(AF_INET6, text, bytes) == 1;
}

}  // namespace

EprtResult parse_eprt_command(const char* text, size_t len, DataTarget& out) {
  const char* end = first_line_end(text, len);
  const char* p = text;
  if (end - p < 5 || strncasecmp(p, "EPRT", 4) != 0 || p[4] != ' ') return kEprtUnreadable;
  p += 4;
  while (p < end && *p == ' ') ++p;
  while (end > p && (end[-1] == '\r' || end[-1] == ' ')) --end;
  if (p >= end || *p < '!' || *p > '~') return kEprtUnreadable;
  const char delimiter = *p++;
  // The three fields, each closed by the delimiter; the last one ends the line.
  const char* field[3];
  const char* field_end[3];
  for (int i = 0; i < 3; ++i) {
    field[i] = p;
    while (p < end && *p != delimiter) ++p;
    if (p >= end) return kEprtUnreadable;
    field_end[i] = p++;
  }
  if (p != end) return kEprtUnreadable;
  long family;
  if (!whole_number(field[0], field_end[0], 3, family)) return kEprtUnreadable;
  if (family != 1 && family != 2) return kEprtOtherFamily;
  long port;
  DataTarget t;
  if (family == 2) {
    if (!ipv6_literal(field[1], field_end[1], t.ipv6_bytes)) return kEprtBadIpv6;
    if (!whole_number(field[2], field_end[2], 5, port) || port < 1 || port > 65535) return kEprtBadIpv6;
    t.ipv6 = true;
    t.port = static_cast<uint16_t>(port);
    out = t;
    return kEprtRead;
  }
  if (!strict_quad(field[1], field_end[1], t.quad)) return kEprtUnreadable;
  if (!whole_number(field[2], field_end[2], 5, port) || port < 1 || port > 65535) return kEprtUnreadable;
  t.port = static_cast<uint16_t>(port);
  out = t;
  return kEprtRead;
}

bool parse_pasv_reply(const char* text, size_t len, DataTarget& out) {
  const char* end = first_line_end(text, len);
  const char* p = text;
  if (end - p < 3 || std::memcmp(p, "227", 3) != 0) return false;
  p += 3;
  while (p < end && std::isspace(static_cast<unsigned char>(*p))) ++p;
  // At least one character of text must stand before the parenthesis.
  const char* words = p;
  while (p < end && *p != '(') ++p;
  if (p == words || p >= end) return false;
  return read_six(p + 1, end, out);
}

bool parse_epsv_reply(const char* text, size_t len, uint16_t& port) {
  const char* end = first_line_end(text, len);
  const char* p = text;
  if (end - p < 3 || std::memcmp(p, "229", 3) != 0) return false;
  p += 3;
  while (p < end && *p != '(') ++p;
  // "(", three delimiters, the port, the delimiter again and ")".
  if (end - p < 7) return false;
  const char d = p[1];
  if (d < '!' || d > '~' || p[2] != d || p[3] != d) return false;
  const char* digits = p + 4;
  const char* stop = digits;
  while (stop < end && *stop != d) ++stop;
  long value;
  if (stop + 1 >= end || stop[1] != ')' || !whole_number(digits, stop, 5, value) || value < 1 || value > 65535)
    return false;
  port = static_cast<uint16_t>(value);
  return true;
}

bool parse_port_command(const char* text, size_t len, DataTarget& out) {
  const char* end = first_line_end(text, len);
  const char* p = text;
  if (end - p < 4 || std::memcmp(p, "PORT", 4) != 0) return false;
  p += 4;
  while (p < end && std::isspace(static_cast<unsigned char>(*p))) ++p;
  return read_six(p, end, out);
}

bool parse_dotted_quad(const char* text, int quad[4]) {
  const char* p = text;
  const char* end = text + std::strlen(text);
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (p >= end || *p != '.') return false;
      ++p;
    }
    long v = 0;
    if (!read_number(p, end, v) || v < 0 || v > 255) return false;
    quad[i] = static_cast<int>(v);
  }
  return true;
}

void format_host(const DataTarget& t, char (&slot)[kHostSlot]) {
  if (t.ipv6) {
    if (inet_ntop(AF_INET6, t.ipv6_bytes, slot, sizeof slot) == nullptr) slot[0] = '\0';
    return;
  }
  std::snprintf(slot, sizeof slot, "%d.%d.%d.%d", t.quad[0], t.quad[1], t.quad[2], t.quad[3]);
}

}  // namespace ferrynet
