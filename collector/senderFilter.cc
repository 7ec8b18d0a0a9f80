#include "senderFilter.h"

#include <arpa/inet.h>

#include <cstdio>

namespace {

constexpr size_t kMaxRemembered = 4096;

std::string Trim(const std::string &s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) {
    return "";
  }
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// Dotted quads only, each part decimal: inet_pton accepts no other form.
bool ParseAddress(const std::string &text, uint32_t *ip) {
  struct in_addr a;
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) {
    return false;
  }
  *ip = ntohl(a.s_addr);
  return true;
}

}  // namespace

bool SenderFilter::Parse(const std::string &text, std::string *bad) {
  blocks_.clear();
  if (Trim(text).empty()) {
    return true;
  }
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    std::string entry =
        Trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    size_t slash = entry.find('/');
    uint32_t ip = 0;
    int bits = 32;
    bool ok = ParseAddress(entry.substr(0, slash), &ip);
    if (ok && slash != std::string::npos) {
      std::string prefix = entry.substr(slash + 1);
      ok = !prefix.empty() && prefix.size() <= 2 &&
           prefix.find_first_not_of("0123456789") == std::string::npos;
      bits = ok ? std::stoi(prefix) : 0;
      ok = ok && bits <= 32;
    }
    if (!ok) {
      *bad = entry;
      blocks_.clear();
      return false;
    }
    uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    blocks_.push_back({ip & mask, mask});
    if (comma == std::string::npos) {
      return true;
    }
    start = comma + 1;
  }
}

bool SenderFilter::Allows(uint32_t ip) const {
  if (blocks_.empty()) {
    return true;
  }
  for (const Block &b : blocks_) {
    if ((ip & b.mask) == b.network) {
      return true;
    }
  }
  return false;
}

std::string SenderFilter::Describe() const {
  std::string out;
  for (const Block &b : blocks_) {
    char text[32];
    int bits = __builtin_popcount(b.mask);
    snprintf(text, sizeof text, "%u.%u.%u.%u", b.network >> 24, (b.network >> 16) & 0xFF,
             (b.network >> 8) & 0xFF, b.network & 0xFF);
    out += (out.empty() ? "" : ", ") + std::string(text);
    if (bits != 32) {
      out += "/" + std::to_string(bits);
    }
  }
  return out;
}

bool SenderFilter::NoteRefused(uint32_t ip, uint64_t now, uint64_t *count) {
  if (refused_.size() >= kMaxRemembered && refused_.find(ip) == refused_.end()) {
    std::erase_if(refused_, [now](const auto &entry) {
      return now - entry.second.lastReport >= kReportIntervalMicros;
    });
    if (refused_.size() >= kMaxRemembered) {
      refused_.clear();  // a flood of forged addresses: reports may repeat
    }
  }
  Refusals &r = refused_[ip];
  r.unreported++;
  if (r.lastReport != 0 && now - r.lastReport < kReportIntervalMicros) {
    return false;
  }
  *count = r.unreported;
  r.lastReport = now == 0 ? 1 : now;
  r.unreported = 0;
  return true;
}
