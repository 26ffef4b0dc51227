// The build's constants: tool variant, product ids, download page and the
// switches the window and the engine were built with.
#include <fmt/format.h>

#include <string>

#include "app/core/texts.h"
#include "cli/commands.h"
#include "cli/run_support.h"
#include "firmware/product_config.h"

namespace lumavix::cli {
namespace {

int run_config(Context& ctx) {
  const UiLanguage lang = command_language();
  const json switches{{"AllowChipGen0Download", AllowChipGen0Download},
                      {"ChainSettingTables", ChainSettingTables},
                      {"EnableUserDataPage", EnableUserDataPage},
                      {"DumpAfterDownload", DumpAfterDownload}};
  const json j{{"toolVariant", variant_name(ToolVariant)},
               {"productIds",
                {{"QA", hex4(ProductIdQA)},
                 {"QB", hex4(ProductIdQB)},
                 {"QAlt", hex4(ProductIdQAlt)},
                 {"RA", hex4(ProductIdRA)},
                 {"RB", hex4(ProductIdRB)},
                 {"R2", hex4(ProductIdR2)}}},
               {"vendorId", hex4(VendorId)},
               {"downloadUrl", DownloadUrl},
               {"switches", switches},
               {"modelName", utf8(ModelName(ToolVariant))},
               {"windowTitle", utf8(WindowTitle(lang, ToolVariant))}};
  const std::string text = fmt::format(
      "tool variant      {}\nmodel name        {}\nwindow title      {}\nvendor id         {:04X}\n"
      "product ids       QA {:04X}  QB {:04X}  QAlt {:04X}  RA {:04X}  RB {:04X}  R2 {:04X}\n"
      "download page     {}\nswitches          AllowChipGen0Download={} ChainSettingTables={} "
      "EnableUserDataPage={} DumpAfterDownload={}\n",
      variant_name(ToolVariant), utf8(ModelName(ToolVariant)), utf8(WindowTitle(lang, ToolVariant)),
      VendorId, ProductIdQA, ProductIdQB, ProductIdQAlt, ProductIdRA, ProductIdRB, ProductIdR2,
      DownloadUrl, AllowChipGen0Download, ChainSettingTables, EnableUserDataPage,
      DumpAfterDownload);
  ctx.result(j, text);
  return kExitOk;
}

}  // namespace

void register_config_commands(CLI::App& app, Commands& commands) {
  auto* config = app.add_subcommand("config", "The build's constants");
  config->callback([&commands] { commands.choose([](Context& c) { return run_config(c); }); });
}

}  // namespace lumavix::cli
