// What the commands that reach the camera through the update engine share
// (status, update, download, dump, userdata, config): text and number
// formatting of their results, the session that closes the device library,
// the failure when no camera answers, and running one engine worker from
// confirmation to its result object.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "app/core/device_watch.h"
#include "app/core/texts.h"
#include "app/core/update_flow.h"
#include "cli/camera_write_lock.h"
#include "cli/cli_context.h"
#include "cli/terminal_prompter.h"
#include "firmware/engine.h"
#include "firmware/product_config.h"

namespace lumavix::sim {
class SimCamera;
}

namespace lumavix::cli {

// Result objects keep their fields in the order they are added.
using json = nlohmann::ordered_json;

// Four upper-case hexadecimal digits of the low 16 bits of `v`.
[[nodiscard]] std::string hex4(std::uint32_t v);
[[nodiscard]] std::string utf8(std::u16string_view s);
// "Q", "R", "R2", or "?" for a value outside the enumeration.
[[nodiscard]] const char* variant_name(ModelVariant v);
// The language of the environment, made the language of the shared texts.
[[nodiscard]] UiLanguage command_language();

// Closes the engine's library when a command ends, after any worker.
struct EngineSession {
  EngineSession() = default;
  EngineSession(const EngineSession&) = delete;
  EngineSession& operator=(const EngineSession&) = delete;
  ~EngineSession() {
    WaitForWorker();
    CloseDevices();
  }
};

// The device library's reasons for finding no camera, joined with "; ";
// empty when it gave none.
[[nodiscard]] std::string no_camera_causes();
// The failure of a command that found no camera, with the doctor's hint when
// a node refused this user.
[[nodiscard]] int fail_no_camera(const Context& ctx);

// The simulated camera the library has open at position 0 (or the first
// one, while the library is closed) when the command runs against the
// simulator; otherwise null.
[[nodiscard]] sim::SimCamera* simulated_camera();

// Forwards the worker's reports to a queue and notes, on the worker's
// thread, how many transfers the simulated camera had seen when the outcome
// was posted.
class CountingTarget final : public NotifyTarget {
 public:
  // `camera` may be null (real hardware): nothing is counted then.
  CountingTarget(NotifyQueue& queue, sim::SimCamera* camera);
  void post(std::uint32_t code, std::uint32_t value) override;
  // Transfers from construction to the outcome (or to now, before it);
  // nullopt without a simulated camera.
  [[nodiscard]] std::optional<std::uint64_t> transfers() const;

 private:
  NotifyQueue& queue_;
  sim::SimCamera* camera_;
  std::uint64_t start_ = 0;
  std::atomic<std::uint64_t> at_outcome_{0};
  std::atomic<bool> counted_{false};
};

struct RunSummary {
  bool outcome = false;    // a terminal notification arrived
  std::uint32_t code = 0;  // the first terminal notification
  std::uint32_t elapsedMs = 0;
};

// Hands every notification of the running worker to `handle`, in order and
// on this thread, until the worker's thread has ended and the queue is
// empty. Waits between them on the shared clock, so a simulated run goes in
// virtual time.
void pump_notifications(NotifyQueue& queue,
                        const std::function<void(const Notification&)>& handle);

// Feeds every notification of the running worker to the flow until the
// worker's thread has ended and its queue is empty. Progress goes to stderr
// in text mode and as event lines in JSON mode.
[[nodiscard]] RunSummary drive(Context& ctx, UpdateFlow& flow, DeviceWatchState& window,
                               UiLanguage lang, NotifyQueue& queue);

// Exit status of a refused engine start, from the reason it showed.
[[nodiscard]] int refusal_status(const TerminalPrompter& prompter);

// The result object of a worker run: its verdict, outcome, time and, when
// simulating, the transfers it took.
[[nodiscard]] json run_json(const RunSummary& sum, bool ok, const CountingTarget& target);

// The messages of a failed run on stderr (the reason and the outcome, then
// why it refused or else `advice`, when given); returns its result object,
// `j` with the refusal.
[[nodiscard]] json failed_run(const std::string& why, const RunSummary& sum, const json& j,
                              const char* advice = nullptr);
// Ends a failed run: failed_run, then the result object in JSON mode.
// Returns kExitFailed.
[[nodiscard]] int run_failed(Context& ctx, const std::string& why, const RunSummary& sum,
                             const json& j, const char* advice = nullptr);

// The failure of an update flow that did not start (`r` is not Started):
// its message and exit status. kExitOk when it did start.
[[nodiscard]] int start_failure(Context& ctx, StartResult r, const UpdateFlow& flow,
                                const TerminalPrompter& prompter);

// The confirmation before anything is written. Returns kExitOk to go on.
[[nodiscard]] int confirm_or_refuse(Context& ctx, TerminalPrompter& prompter, bool yes,
                                    UiLanguage lang, const std::u16string& warning);

}  // namespace lumavix::cli
