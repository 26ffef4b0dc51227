#include "devlib/types.h"

namespace lumavix {

const char* device_kind_name(DeviceKind kind) {
  switch (kind) {
    case DeviceKind::None: return "None";
    case DeviceKind::VideoClass: return "VideoClass";
    case DeviceKind::Hid: return "Hid";
    case DeviceKind::VendorVideo: return "VendorVideo";
    case DeviceKind::BdaVendor: return "BdaVendor";
  }
  return "None";
}

const char* xu_variant_name(XuVariant variant) {
  switch (variant) {
    case XuVariant::Kavex: return "Kavex";
    case XuVariant::Aveo: return "Aveo";
    case XuVariant::Etron: return "Etron";
  }
  return "Kavex";
}

}  // namespace lumavix
