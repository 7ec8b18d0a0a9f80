// Which hosts may send dumps: a list of IPv4 addresses and CIDR blocks.
// Datagrams from any other address are dropped before they are looked at;
// the operator hears of each such address at most once a minute.
#ifndef TARNWELL_SENDER_FILTER_H
#define TARNWELL_SENDER_FILTER_H

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class SenderFilter {
 public:
  static constexpr uint64_t kReportIntervalMicros = 60'000'000;

  // Parses "10.0.0.0/8, 192.168.4.17". An empty or blank text allows every
  // sender. On a malformed entry returns false with the entry in *bad.
  bool Parse(const std::string &text, std::string *bad);
  bool AllowsAll() const { return blocks_.empty(); }
  bool Allows(uint32_t ip) const;
  // The list as parsed, in its canonical form ("10.0.0.0/8, ...").
  std::string Describe() const;

  // Counts a refused datagram from ip at monotonic time now. True when it
  // is to be reported, with the datagrams refused since the last report
  // (this one included) in *count.
  bool NoteRefused(uint32_t ip, uint64_t now, uint64_t *count);

 private:
  struct Block {
    uint32_t network;
    uint32_t mask;
  };
  struct Refusals {
    uint64_t lastReport = 0;
    uint64_t unreported = 0;
  };
  std::vector<Block> blocks_;
  // Any address can be forged: the table is bounded by forgetting what was
  // reported more than a minute ago whenever it grows large.
  std::unordered_map<uint32_t, Refusals> refused_;
};

#endif  // TARNWELL_SENDER_FILTER_H
