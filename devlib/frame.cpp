#include "devlib/frame.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "devlib/internal/library_state.h"
#include "devlib/trace.h"

namespace lumavix {
namespace {

LibraryState g_state;
Platform g_platform;

// The last transfer error of each thread, kept in a trivially destructible
// form: with mingw-w64's emulated TLS a thread_local's destructor can run
// after the thread's TLS block has been released, so a std::string here
// frees through freed memory when a worker ends after a failed transfer.
struct LastError {
  int code = 0;
  std::uint16_t length = 0;
  char message[510] = {};
};
static_assert(std::is_trivially_destructible_v<LastError>);
thread_local LastError t_last_error;

// Build stamp logged at every initialisation, as support expects to see it.
constexpr const char* kBuildDate = "Dec 23 2020";
constexpr const char* kBuildTime = "13:52:46";

// The probe order: the first kind that finds a camera is the library's, so a
// camera that offers HID and an extension unit is always driven over HID.
constexpr const Transport* kProbeOrder[] = {&kHidTransport, &kVideoClassTransport,
                                            &kVendorVideoTransport, &kBdaVendorTransport};

}  // namespace

LibraryState& library_state() { return g_state; }

std::span<const Transport* const> transports() { return kProbeOrder; }

const Transport* active_transport() {
  for (const Transport* t : kProbeOrder)
    if (t->kind == g_state.kind) return t;
  return nullptr;
}

std::unique_ptr<LibraryLock> open_library_lock(const char* who, bool wait) {
  SysError err;
  std::unique_ptr<LibraryLock> lock = LibraryLock::open(g_platform.locks, err);
  if (!lock) {
    add_cause(err.message.empty() ? "the camera lock cannot be created" : err.message);
    return nullptr;
  }
  if (wait && !lock->wait(kLockTimeoutMs)) {
    if (who) DebugTrace("[%s] mutex time-out ", who);
    add_cause("another program holds the camera lock \"" + std::string(kLibraryLockName) + "\"");
    return nullptr;
  }
  return lock;
}

void set_platform(const Platform& p) { g_platform = p; }
const Platform& platform() { return g_platform; }

DeviceEntry* device_at(std::int32_t index) {
  if (index < 0 || index >= kMaxDevices) return nullptr;
  DeviceEntry& e = g_state.table[index];
  return e.has_interface() ? &e : nullptr;
}

DeviceKind library_kind() { return g_state.kind; }

std::string device_path(std::int32_t index) {
  if (index < 0 || index >= kMaxDevices) return {};
  const Transport* t = active_transport();
  return t ? t->path(index) : g_state.table[index].path;
}

XuVariant device_variant(std::int32_t index) {
  if (index < 0 || index >= kMaxDevices) return XuVariant::Kavex;
  return g_state.table[index].variant;
}

ChipGen device_chip_gen(std::int32_t index) {
  if (index < 0 || index >= kMaxDevices) return 0;
  return g_state.table[index].gen;
}

std::uint16_t DeviceUsbProductId(std::int32_t index) {
  const DeviceEntry* e = device_at(index);
  return e ? e->usb_product_id : 0;
}

const std::vector<std::string>& library_causes() { return g_state.causes; }

void add_cause(std::string cause) { g_state.causes.push_back(std::move(cause)); }

SysError last_transfer_error() {
  return {t_last_error.code, std::string(t_last_error.message, t_last_error.length)};
}

// A message longer than the slot is cut; the cause's code is always kept.
void set_last_transfer_error(const SysError& err) {
  const std::size_t n = std::min(err.message.size(), sizeof t_last_error.message);
  t_last_error.code = err.code;
  t_last_error.length = static_cast<std::uint16_t>(n);
  std::memcpy(t_last_error.message, err.message.data(), n);
}

void forget_enumerations_for_testing() {
  g_state.known = 0;
  g_state.current = 0;
  for (std::uint32_t& id : g_state.node_ids) id = 0;
  for (DeviceEntry& e : g_state.table) e = DeviceEntry{};
}

}  // namespace lumavix

using namespace lumavix;

std::int32_t kvVidHidCls_Init() {
  init_trace_from_environment();
  DebugTrace("LibBuildTime%s %s ", kBuildDate, kBuildTime);
  LibraryState& s = library_state();
  if (s.kind != DeviceKind::None) kvVidHidCls_DeInit();
  s.causes.clear();

  for (const Transport* t : transports()) {
    if (!t->probe()) continue;
    DebugTrace(t->found_trace, "kvVidHidCls_Init");
    return 1;
  }
  return 0;
}

void kvVidHidCls_DeInit() {
  LibraryState& s = library_state();
  if (s.kind == DeviceKind::None) return;
  if (const Transport* t = active_transport()) t->release();
  s.lock.reset();
  s.kind = DeviceKind::None;
  s.count = 0;
}

std::int32_t kvVidHidCls_GetDevCount() {
  const LibraryState& s = library_state();
  return s.kind != DeviceKind::None ? s.count : 0;
}

std::int32_t kvVidHidCls_GetDevChipGen(std::int32_t index, std::uint8_t& gen) {
  gen = 0;
  DeviceEntry* e = device_at(index);
  if (!e) return 0;
  LibraryState& s = library_state();
  LockGuard guard(s.lock.get(), kLockTimeoutMs);
  if (!guard.acquired()) {
    DebugTrace("[%s] mutex time-out ", "kvVidHidCls_GetDevChipGen");
    return 0;
  }
  // The property-set kinds carry no generation; the video-class transport
  // asks every variant, and only the bridge maker's unit answers.
  const Transport* t = active_transport();
  if (t && t->chip_gen) (void)t->chip_gen(*e, gen);
  return 1;
}
