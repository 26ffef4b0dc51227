#include "sim/gadgetcam/pair_timing.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "devlib/frame.h"
#include "devlib/hid_protocol.h"
#include "devlib/hid_transport.h"
#include "platform/linux_hid.h"
#include "platform/linux_lock.h"
#include "platform/sys_call.h"

namespace lumavix::sim {
namespace {

// The chip-generation query, as the library sends it: command 0x08 reading
// four bytes of register 0x0000, then the data report's reply.
constexpr std::array<std::uint8_t, 1 + kCommandLen> kQuery = {kReportCommand, 0x08, 0x00, 0x00,
                                                              0x04};
constexpr std::size_t kMethods = 3;  // bare, library transport, library call
// The generation a chip id of 0xB_ or 0xC_ stands for.
constexpr std::uint8_t kNewerGeneration = 2;

std::uint64_t clock_ns(clockid_t clock) {
  timespec ts{};
  ::clock_gettime(clock, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// One pair through the hidraw ioctls alone.
bool bare_pair(int fd) {
  std::array<std::uint8_t, kQuery.size()> query = kQuery;
  if (sys_ioctl(fd, HIDIOCSFEATURE(query.size()), query.data()) < 0) return false;
  std::array<std::uint8_t, 1 + kFrameLen> reply{};
  reply[0] = kReportData;
  return sys_ioctl(fd, HIDIOCGFEATURE(reply.size()), reply.data()) > 0 &&
         (reply[0] >> 4) >= 0xB;
}

bool transport_pair(HidDevice* dev) {
  std::uint8_t gen = 0;
  return hidreg_GetChipGen(dev, gen) && gen == kNewerGeneration;
}

bool public_pair() {
  std::uint8_t gen = 0;
  return kvVidHidCls_GetDevChipGen(0, gen) == 1 && gen == kNewerGeneration;
}

}  // namespace

int run_pair_timing(const std::string& node, unsigned pairs, unsigned rounds) {
  const int fd = sys_open(node.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "cannot open %s: %s\n", node.c_str(), errno_text(-fd).c_str());
    return 1;
  }
  LinuxHidBackend hid;
  FlockLockBackend locks;
  SysError err;
  std::unique_ptr<HidDevice> dev = hid.open(node, err);
  if (!dev) {
    std::fprintf(stderr, "%s\n", err.message.c_str());
    sys_close(fd);
    return 1;
  }
  Platform p;
  p.hid = &hid;
  p.locks = &locks;
  set_platform(p);
  int status = 0;
  if (kvVidHidCls_Init() != 1) {
    std::fprintf(stderr, "the library finds no camera\n");
    status = 1;
  }

  const auto one_pair = [&](std::size_t method) {
    return method == 0 ? bare_pair(fd) : method == 1 ? transport_pair(dev.get()) : public_pair();
  };
  // A few pairs of each method first, so that no method pays for the first
  // use of the code and of the kernel's paths.
  for (std::size_t m = 0; m < kMethods && status == 0; ++m) {
    for (unsigned i = 0; i < 10; ++i) {
      if (!one_pair(m)) {
        std::fprintf(stderr, "warm-up pair failed (method %zu)\n", m);
        status = 1;
        break;
      }
    }
  }
  // Microseconds per pair, elapsed and of processor time, one entry per
  // round for each method. Short rounds taken in turn share the emulator's
  // and the host's swings among the methods; each round starts with another
  // method, so that none always follows the same one.
  std::array<std::vector<double>, kMethods> per_pair, cpu_per_pair;
  for (unsigned r = 0; r < rounds && status == 0; ++r) {
    for (std::size_t k = 0; k < kMethods && status == 0; ++k) {
      const std::size_t m = (r + k) % kMethods;
      const std::uint64_t t0 = clock_ns(CLOCK_MONOTONIC);
      const std::uint64_t c0 = clock_ns(CLOCK_PROCESS_CPUTIME_ID);
      for (unsigned i = 0; i < pairs; ++i) {
        if (!one_pair(m)) {
          std::fprintf(stderr, "pair %u of round %u failed (method %zu)\n", i, r, m);
          status = 1;
          break;
        }
      }
      cpu_per_pair[m].push_back(static_cast<double>(clock_ns(CLOCK_PROCESS_CPUTIME_ID) - c0) /
                                1000.0 / pairs);
      per_pair[m].push_back(static_cast<double>(clock_ns(CLOCK_MONOTONIC) - t0) / 1000.0 / pairs);
    }
  }
  if (status == 0) {
    const auto line = [&](const char* what, const std::array<std::vector<double>, kMethods>& t) {
      const double bare = median(t[0]), transport = median(t[1]), pub = median(t[2]);
      const auto over = [&](double v) { return bare > 0 ? (v - bare) * 100.0 / bare : 0.0; };
      std::printf("TIMING: %s, one set+get feature-report pair, %s, median of %u rounds of %u: "
                  "bare ioctls %.1f us, library transport %.1f us (%+.1f%%), library call with "
                  "lock %.1f us (%+.1f%%)\n",
                  node.c_str(), what, rounds, pairs, bare, transport, over(transport), pub,
                  over(pub));
    };
    // The elapsed time is what a user waits for; the processor time of this
    // process (user and kernel) is what the code itself costs, without the
    // waits for the bus, whose timer rounds each transfer up to its tick.
    line("elapsed", per_pair);
    line("processor time", cpu_per_pair);
    std::fflush(stdout);
  }
  kvVidHidCls_DeInit();
  set_platform({});
  dev.reset();
  sys_close(fd);
  return status;
}

}  // namespace lumavix::sim
