#include "devlib/frame.h"

#include "devlib/hid_protocol.h"
#include "devlib/hid_transport.h"
#include "devlib/trace.h"
#include "devlib/vendor_props.h"
#include "devlib/video_xu.h"

namespace lumavix {
namespace {

LibraryState g_state;
Platform g_platform;
thread_local SysError t_last_error;

// Build stamp logged at every initialisation, as support expects to see it.
constexpr const char* kBuildDate = "Dec 23 2020";
constexpr const char* kBuildTime = "13:52:46";

}  // namespace

LibraryState& library_state() { return g_state; }

void set_platform(const Platform& p) { g_platform = p; }
const Platform& platform() { return g_platform; }

DeviceEntry* device_at(std::int32_t index) {
  if (index < 0 || index >= kMaxDevices) return nullptr;
  DeviceEntry& e = g_state.table[index];
  return e.has_interface() ? &e : nullptr;
}

std::uint16_t DeviceUsbProductId(std::int32_t index) {
  const DeviceEntry* e = device_at(index);
  return e ? e->usb_product_id : 0;
}

void add_cause(std::string cause) { g_state.causes.push_back(std::move(cause)); }

const SysError& last_transfer_error() { return t_last_error; }
void set_last_transfer_error(SysError err) { t_last_error = std::move(err); }

}  // namespace lumavix

using namespace lumavix;

std::int32_t kvVidHidCls_Init() {
  init_trace_from_environment();
  DebugTrace("LibBuildTime%s %s ", kBuildDate, kBuildTime);
  LibraryState& s = library_state();
  if (s.kind != DeviceKind::None) kvVidHidCls_DeInit();
  s.causes.clear();

  if (hidreq_Init()) {
    DebugTrace("%s Is HID Device", "kvVidHidCls_Init");
    return 1;
  }
  if (EnumVideoDevice()) {
    DebugTrace("%sIs Video Class Device", "kvVidHidCls_Init");
    return 1;
  }
  if (sysreg_Probe()) {
    DebugTrace("%s Is Vendor Video Device", "kvVidHidCls_Init");
    return 1;
  }
  if (bdareg_Probe()) {
    DebugTrace("%s Is BDA Vendor Device", "kvVidHidCls_Init");
    return 1;
  }
  return 0;
}

void kvVidHidCls_DeInit() {
  LibraryState& s = library_state();
  if (s.kind == DeviceKind::None) return;
  const std::int32_t n = s.count < kMaxDevices ? s.count : kMaxDevices;
  if (s.kind == DeviceKind::Hid) {
    hidreq_CloseAll(s.hidList);
    for (std::int32_t i = 0; i < n; ++i) {
      s.table[i].hid = nullptr;
      s.table[i].usb_product_id = 0;
    }
  } else {
    // Paths, variants and generations stay for the next video-class
    // enumeration; only the interfaces go.
    for (std::int32_t i = 0; i < n; ++i) s.table[i].control = nullptr;
    if (s.kind == DeviceKind::VideoClass) {
      vidxu_ReleaseAll();
    } else {
      vendorprop_ReleaseAll();
    }
  }
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
  switch (s.kind) {
    case DeviceKind::Hid:
      (void)hidreg_GetChipGen(e->hid, gen);
      break;
    case DeviceKind::VideoClass:
      // Every variant is asked; only the bridge maker's unit answers.
      (void)vidxu_GetChipGen(xu_control(*e), gen);
      break;
    default:
      // The property-set kinds carry no generation.
      break;
  }
  return 1;
}
