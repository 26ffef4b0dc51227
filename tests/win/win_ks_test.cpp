// The kernel-streaming layer (extension units, vendor property sets) against
// faked DirectShow calls, and the real calls as far as Wine answers them.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include <objbase.h>

#include "platform/win_ks.h"

namespace lumavix {
namespace {

// DirectShow's interfaces may be used only in the apartment that made them:
// the fakes take every call in the multithreaded apartment, as the layer
// promises, and count (and refuse) any other.
int g_wrong_apartment = 0;
bool in_mta() {
  APTTYPE type{};
  APTTYPEQUALIFIER qualifier{};
  const bool ok = SUCCEEDED(::CoGetApartmentType(&type, &qualifier)) && type == APTTYPE_MTA &&
                  qualifier != APTTYPEQUALIFIER_IMPLICIT_MTA;
  if (!ok) ++g_wrong_apartment;
  return ok;
}

constexpr GUID kDevSpecific = {0x941C7AC0, 0xC559, 0x11D0,
                               {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
constexpr GUID kCameraTerminal = {0xDFF229E1, 0xF70F, 0x11D0,
                                  {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

struct Call {
  std::vector<std::uint8_t> property;
  bool had_data = false;
  ULONG data_length = 0;
};

class FakeKsFilter final : public KsFilter {
 public:
  std::vector<GUID> nodes;
  HRESULT result = S_OK;
  std::vector<std::uint8_t> answer;  // copied into the data of each call
  ULONG claim = ~0u;                 // `returned` when set, else the answer's size
  std::vector<Call>* calls = nullptr;

  FakeKsFilter() = default;
  FakeKsFilter(const FakeKsFilter&) = default;
  FakeKsFilter& operator=(const FakeKsFilter&) = default;
  ~FakeKsFilter() override {
    if (calls) (void)in_mta();  // a bound filter is released where it was made
  }

  HRESULT node_count(DWORD& out) override {
    if (!in_mta()) return RPC_E_WRONG_THREAD;
    out = static_cast<DWORD>(nodes.size());
    return S_OK;
  }
  HRESULT node_type(DWORD node, GUID& out) override {
    if (!in_mta()) return RPC_E_WRONG_THREAD;
    if (node >= nodes.size()) return E_INVALIDARG;
    out = nodes[node];
    return S_OK;
  }
  HRESULT ks_property(void* property, ULONG property_length, void* data, ULONG data_length,
                      ULONG& returned) override {
    if (!in_mta()) return RPC_E_WRONG_THREAD;
    const auto* p = static_cast<const std::uint8_t*>(property);
    calls->push_back({std::vector<std::uint8_t>(p, p + property_length), data != nullptr,
                      data_length});
    if (FAILED(result)) return result;
    if (data) std::memcpy(data, answer.data(), std::min<std::size_t>(answer.size(), data_length));
    returned = claim != ~0u ? claim : static_cast<ULONG>(answer.size());
    return S_OK;
  }
};

class FakeKsApi final : public KsApi {
 public:
  std::vector<KsDeviceEntry> devices;
  HRESULT list_result = S_OK, bind_result = S_OK, init_result = S_OK;
  FakeKsFilter filter_template;
  std::vector<Call> calls;
  int inits = 0;

  HRESULT init_thread() override {
    ++inits;
    return init_result;
  }
  HRESULT list_category(const GUID&, std::vector<KsDeviceEntry>& out) override {
    if (!in_mta()) return RPC_E_WRONG_THREAD;
    out = devices;
    return FAILED(list_result) ? list_result : out.empty() ? S_FALSE : S_OK;
  }
  HRESULT bind(const GUID&, const std::wstring& path, std::unique_ptr<KsFilter>& out) override {
    if (!in_mta()) return RPC_E_WRONG_THREAD;
    if (FAILED(bind_result)) return bind_result;
    for (const KsDeviceEntry& d : devices) {
      if ((d.path.empty() ? d.name : d.path) != path) continue;
      auto f = std::make_unique<FakeKsFilter>(filter_template);
      f->calls = &calls;
      out = std::move(f);
      return S_OK;
    }
    return S_FALSE;
  }
};

// The test's thread is what the window's thread is: a single-threaded
// apartment.
class WinKsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    g_wrong_apartment = 0;
    api_.devices = {{L"LUMAVIX Q", L"\\\\?\\usb#vid_2a9c&pid_0e51#cam"},
                    {L"Vendor capture", L""}};
    api_.filter_template.nodes = {kCameraTerminal, kDevSpecific};
  }
  std::unique_ptr<VideoControl> bind_camera() {
    SysError err;
    auto c = video_.bind(DeviceCategory::VideoCapture, "\\\\?\\usb#vid_2a9c&pid_0e51#cam", err);
    EXPECT_NE(c, nullptr) << err.message;
    return c;
  }
  void TearDown() override {
    EXPECT_EQ(g_wrong_apartment, 0)
        << "every DirectShow call expected in the multithreaded apartment";
    ::CoUninitialize();
  }
  FakeKsApi api_;
  WinKsVideoBackend video_{api_};
  WinKsPropertySetBackend props_{api_};
};

// Cameras are found again by path, so the video list keeps only devices that
// have one; the property sets also reach a device by its name.
TEST_F(WinKsTest, ListsKeepWhatFindsTheDeviceAgain) {
  std::vector<CategoryDevice> out;
  SysError err;
  ASSERT_TRUE(video_.list(DeviceCategory::VideoCapture, out, err)) << err.message;
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].name, "LUMAVIX Q");
  EXPECT_EQ(out[0].path, "\\\\?\\usb#vid_2a9c&pid_0e51#cam");
  ASSERT_TRUE(props_.list(DeviceCategory::BroadcastReceiver, out, err)) << err.message;
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].path, "Vendor capture") << "a device without a path is known by its name";
  EXPECT_EQ(out[0].product_id, 0x0E51) << "the product id is the path's pid_XXXX";
  EXPECT_EQ(out[1].product_id, 0) << "a path without one says none";

  api_.devices.clear();
  EXPECT_TRUE(video_.list(DeviceCategory::VideoCapture, out, err)) << "an empty category";
  EXPECT_TRUE(out.empty());

  api_.list_result = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  EXPECT_FALSE(video_.list(DeviceCategory::VideoCapture, out, err));
  EXPECT_EQ(err.code, EACCES);
  EXPECT_NE(err.message.find("cannot be listed"), std::string::npos) << err.message;
}

TEST_F(WinKsTest, BindFailuresSayWhy) {
  SysError err;
  EXPECT_EQ(video_.bind(DeviceCategory::VideoCapture, "\\\\?\\usb#other", err), nullptr);
  EXPECT_EQ(err.code, ENODEV) << "a path no device has any more";
  EXPECT_NE(err.message.find("is gone"), std::string::npos) << err.message;
  api_.bind_result = E_ACCESSDENIED;
  EXPECT_EQ(video_.bind(DeviceCategory::VideoCapture, "\\\\?\\usb#vid_2a9c&pid_0e51#cam", err),
            nullptr);
  EXPECT_EQ(err.code, EACCES);
}

TEST_F(WinKsTest, TopologyNodesAndTheirKinds) {
  auto c = bind_camera();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->node_count(), 2u);
  EXPECT_FALSE(c->node_is_extension_unit(0)) << "the camera terminal";
  EXPECT_TRUE(c->node_is_extension_unit(1)) << "a device-specific node";
  EXPECT_FALSE(c->node_is_extension_unit(7)) << "a node past the end";
}

// Each request is one node property: GUID, selector, flags, node, zero; a
// get returns what the driver returned, never more than asked; the
// set-support question carries no data.
TEST_F(WinKsTest, ExtensionUnitRequestsAreNodeProperties) {
  auto c = bind_camera();
  ASSERT_NE(c, nullptr);
  XuQuery q;
  q.unit = make_guid(0x5A215226, 0x3289, 0x4156, {0x89, 0x4A, 0x5C, 0x55, 0x7C, 0xDF, 0x96, 0x64});
  q.selector = 26;
  q.node = 1;
  q.flags = kXuFlagGet;
  SysError err;
  std::vector<std::uint8_t> data(32, 0);

  // The driver answers 32 bytes but claims 40: only 32 are believed.
  c.reset();
  api_.filter_template.answer = std::vector<std::uint8_t>(32, 0xB5);
  api_.filter_template.claim = 40;
  c = bind_camera();
  EXPECT_EQ(c->xu_request(q, data, err), 32) << err.message;
  ASSERT_EQ(api_.calls.size(), 1u);
  EXPECT_EQ(api_.calls[0].property.size(), 32u);
  const auto expected = encode_xu_query(q);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), api_.calls[0].property.begin()))
      << "the property is the encoded node request";
  EXPECT_EQ(data[0], 0xB5);

  q.flags = kXuFlagSet;
  EXPECT_EQ(c->xu_request(q, std::span<std::uint8_t>(data.data(), 3), err), 3)
      << "a set reports the bytes sent";
  EXPECT_EQ(api_.calls.back().data_length, 3u);

  q.flags = kXuFlagSetSupport;
  EXPECT_EQ(c->xu_request(q, {}, err), 0);
  EXPECT_FALSE(api_.calls.back().had_data) << "the question carries no data";
}

TEST_F(WinKsTest, FailedRequestsCarryTheirCause) {
  struct Case {
    HRESULT hr;
    int code;
  };
  const Case cases[] = {{HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED), ENODEV},
                        {HRESULT_FROM_WIN32(ERROR_GEN_FAILURE), EIO},  // refused, not gone
                        {HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), EMSGSIZE},
                        {HRESULT_FROM_WIN32(ERROR_NOT_FOUND), EIO},
                        {E_ACCESSDENIED, EACCES},
                        {E_FAIL, EIO}};
  for (const Case& c : cases) {
    api_.filter_template.result = c.hr;
    auto control = bind_camera();
    ASSERT_NE(control, nullptr);
    XuQuery q;
    q.flags = kXuFlagGet;
    std::vector<std::uint8_t> data(4, 0);
    SysError err;
    EXPECT_EQ(control->xu_request(q, data, err), -c.code) << "HRESULT " << std::hex << c.hr;
    EXPECT_EQ(err.code, c.code);
    EXPECT_EQ(err.message.rfind("\\\\?\\usb#vid_2a9c", 0), 0u) << "names the device: " << err.message;
  }
}

TEST_F(WinKsTest, PropertySetsAnswerInPlace) {
  api_.filter_template.answer = std::vector<std::uint8_t>(40, 0x11);
  SysError err;
  auto d = props_.bind(DeviceCategory::BroadcastReceiver, "Vendor capture", err);
  ASSERT_NE(d, nullptr) << err.message;
  std::vector<std::uint8_t> request(40, 0);
  EXPECT_EQ(d->property(request, err), 40) << err.message;
  EXPECT_EQ(request[39], 0x11) << "the answer replaces the request";
  EXPECT_EQ(api_.calls.back().data_length, 40u);

  std::vector<std::uint8_t> short_request(8, 0);
  EXPECT_EQ(d->property(short_request, err), -EINVAL) << "shorter than a property header";

  api_.init_result = CO_E_NOTINITIALIZED;
  EXPECT_LT(d->property(request, err), 0) << "no call without COM on this thread";
}

// The real DirectShow enumeration from any thread, a single-threaded
// apartment (the window's) among them (Wine lists no capture device, which
// is an empty list, not a failure).
TEST(WinKsSystem, EveryThreadCanListTheCaptureDevices) {
  WinKsVideoBackend video;
  bool ok[2] = {false, false};
  std::string why[2];
  std::thread threads[2];
  for (int i = 0; i < 2; ++i) {
    threads[i] = std::thread([&, i] {
      const bool sta = i == 0 && SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
      std::vector<CategoryDevice> out;
      SysError err;
      ok[i] = video.list(DeviceCategory::VideoCapture, out, err);
      why[i] = err.message;
      if (sta) ::CoUninitialize();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_TRUE(ok[0]) << why[0];
  EXPECT_TRUE(ok[1]) << why[1];
}

}  // namespace
}  // namespace lumavix
