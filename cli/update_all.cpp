// `update --all`: every camera on the machine, one after another. Each runs
// exactly as a lone `update` would, inside a scope in which the library sees
// that camera alone; the confirmation is asked once, for all of them.
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli/camera_scope.h"
#include "cli/terminal_prompter.h"
#include "cli/update_run.h"
#include "cli/watch_pass.h"
#include "firmware/engine.h"
#include "firmware/product_config.h"

namespace lumavix::cli {
namespace {

// What became of one camera, for its result and the summary. Unfinished
// and Unreadable cameras were left as they were found, and need the user:
// like a failure, they make the run exit 1.
enum class Fate { Updated, Planned, UpToDate, OtherProduct, NoCamera, Failed, Unfinished, Unreadable };
constexpr int kFates = 8;

const char* fate_name(Fate f) {
  switch (f) {
    case Fate::Updated: return "updated";
    case Fate::Planned: return "planned";
    case Fate::UpToDate: return "up-to-date";
    case Fate::OtherProduct: return "other-product";
    case Fate::NoCamera: return "gone";
    case Fate::Failed: return "failed";
    case Fate::Unfinished: return "unfinished";
    case Fate::Unreadable: return "unreadable";
  }
  return "?";
}

Fate fate_of(const CameraUpdate& u, bool dry_run) {
  if (u.status == kExitOk && (u.written || dry_run) && !u.object.is_null())
    return dry_run ? Fate::Planned : Fate::Updated;
  // A run that wrote and failed is a failure, whatever the camera was.
  if (!u.written && u.presentation == Presentation::Unreadable) return Fate::Unreadable;
  if (!u.written && u.unfinished) return Fate::Unfinished;
  switch (u.status) {
    case kExitUpToDate: return Fate::UpToDate;
    case kExitNotThisProduct: return Fate::OtherProduct;
    case kExitNoCamera: return Fate::NoCamera;
    default: return Fate::Failed;
  }
}

json opt_hex(const std::optional<std::uint16_t>& v) { return v ? json(hex4(*v)) : json(nullptr); }

// The cameras that the file would update, from a pass on each; nothing is
// written. Returns false when the pass cannot read the file (it said why).
bool count_needing(Context& ctx, const UpdateArgs& a, UiLanguage lang,
                   const std::vector<ListedCamera>& cams, int& needing, int& status) {
  needing = 0;
  for (const ListedCamera& c : cams) {
    CameraScope scope(c);
    EngineSession session;
    DeviceWatchState st;
    DeviceWatchResult r;
    if (const auto rc = watch(ctx, st, r, update_watch_config(a, lang))) {
      status = *rc;
      return false;
    }
    const Presentation p = r.view.presentation;
    if (OffersUpdate(p) || (a.force && p == Presentation::UpToDate)) ++needing;
  }
  return true;
}

}  // namespace

int run_update_all(Context& ctx, const UpdateArgs& a) {
  const UiLanguage lang = command_language();
  CameraSearch search;
  {
    EngineSession session;
    search = search_all_cameras();
    if (search.cameras.empty()) return fail_no_camera(ctx);
  }
  const std::vector<ListedCamera>& cams = search.cameras;

  bool confirmed = a.yes || a.dry_run;
  if (!confirmed) {
    int needing = 0, status = kExitOk;
    if (!count_needing(ctx, a, lang, cams, needing, status)) return status;
    if (needing > 0) {
      TerminalPrompter prompter(TerminalPrompter::stdin_is_terminal(), std::cin, std::cerr);
      const std::u16string warning =
          ConfirmWarningText(lang, ModelName(ToolVariant)) +
          widen_narrow_text(fmt::format("\n{} of the {} cameras connected will be updated, one "
                                        "after another.",
                                        needing, cams.size()));
      if (const int rc = confirm_or_refuse(ctx, prompter, false, lang, warning); rc != kExitOk)
        return rc;
    }
    confirmed = true;
  }

  int counts[kFates] = {};
  std::uint64_t total_transfers = 0;
  for (std::size_t i = 0; i < cams.size(); ++i) {
    const ListedCamera& c = cams[i];
    std::cerr << fmt::format("camera {} of {} (position {}, {}):\n", i + 1, cams.size(),
                             c.position, c.path);
    CameraUpdate u;
    {
      CameraScope scope(c);
      u = update_camera(ctx, a, lang, confirmed);
    }
    // A file that cannot be read fails every camera alike: stop at the first.
    if (u.status == kExitUsage && u.object.is_null()) return u.status;
    const Fate fate = fate_of(u, a.dry_run);
    ++counts[static_cast<int>(fate)];
    json entry{{"position", c.position},
               {"path", c.path},
               {"kind", device_kind_name(c.kind)},
               {"productId", opt_hex(u.productId)},
               {"cameraVersion", opt_hex(u.cameraVersion)},
               {"fileVersion", opt_hex(u.fileVersion)},
               {"outcome", fate_name(fate)}};
    const json& o = u.object;
    const auto field = [&](const char* k) { return o.is_object() && o.contains(k) ? o[k] : json(nullptr); };
    entry["transfers"] = field("transfers");
    entry["seconds"] =
        o.is_object() && o.contains("elapsedMs") && o["elapsedMs"].is_number()
            ? json(o["elapsedMs"].get<double>() / 1000.0)
            : json(nullptr);
    if (o.is_object() && o.contains("transfers") && o["transfers"].is_number())
      total_transfers += o["transfers"].get<std::uint64_t>();
    if (a.wait_replug_s) entry["confirmed"] = field("confirmed");
    if (fate == Fate::Failed) entry["error"] = o.is_object() && o.contains("error") ? o["error"] : field("outcome");
    entry["detail"] = o;
    if (ctx.json()) {
      const std::lock_guard<std::mutex> out(stdout_mutex());
      std::cout << json_text(entry) << '\n';
      std::cout.flush();
    } else {
      std::cout << fmt::format("{}  {}  {}{}\n", c.position, c.path, fate_name(fate),
                               u.cameraVersion && u.fileVersion && fate == Fate::Updated
                                   ? fmt::format(" {} -> {}", hex4(*u.cameraVersion), hex4(*u.fileVersion))
                                   : std::string());
      if (a.dry_run && !u.text.empty()) std::cout << u.text;
    }
  }

  const int updated = counts[static_cast<int>(Fate::Updated)] + counts[static_cast<int>(Fate::Planned)];
  // A camera that went between the listing and its turn did not get the
  // update either.
  const int failed = counts[static_cast<int>(Fate::Failed)] + counts[static_cast<int>(Fate::NoCamera)];
  const int up_to_date = counts[static_cast<int>(Fate::UpToDate)];
  const int unfinished = counts[static_cast<int>(Fate::Unfinished)];
  const int unreadable = counts[static_cast<int>(Fate::Unreadable)];
  int status = kExitOk;
  const char* result = "success";
  if (failed > 0 || unfinished > 0 || unreadable > 0) {
    status = kExitFailed;
    result = "failed";
  } else if (updated == 0) {
    // Nothing needed the update: up to date, or no camera of this product.
    status = up_to_date > 0 ? kExitUpToDate : kExitNotThisProduct;
    result = "nothing-to-do";
  }
  json summary{{"summary",
                {{"cameras", cams.size()},
                 {a.dry_run ? "planned" : "updated", updated},
                 {"upToDate", up_to_date},
                 {"otherProduct", counts[static_cast<int>(Fate::OtherProduct)]},
                 {"gone", counts[static_cast<int>(Fate::NoCamera)]},
                 {"failed", failed},
                 {"unfinished", unfinished},
                 {"unreadable", unreadable},
                 {"kinds", search.kinds_found},
                 {"kindsNotSearched", search.kinds_not_searched},
                 {"transfers", total_transfers}}},
               {"result", result},
               {"exitStatus", status}};
  std::string text = fmt::format(
      "{} camera(s): {} {}, {} up to date, {} of another product, {} failed, {} unfinished, {} "
      "unreadable",
      cams.size(), updated, a.dry_run ? "planned" : "updated", up_to_date,
      counts[static_cast<int>(Fate::OtherProduct)], failed, unfinished, unreadable);
  if (!search.kinds_not_searched.empty())
    text += fmt::format("; interface kinds not searched: {}",
                        fmt::join(search.kinds_not_searched, ", "));
  ctx.result(summary, text);
  return status;
}

}  // namespace lumavix::cli
