#pragma once
// `tavenor-plant export` and `tavenor-plant alarms`: the plant's history as
// CSV, with tavenor-history's options and columns and the station first.
//   export --address A [--station S] [--from T] [--to T] [--resolution raw|minute|hour|auto]
//          [--utf8] [--out FILE] [--config FILE]
//   alarms [--address A] [--station S] [--from T] [--to T] [--utf8] [--out FILE] [--config FILE]
// Exit status: 0 done; 1 the output could not be written; 2 nothing done.
namespace tav::plant {

// `argv[0]` is the command ("export" or "alarms").
int RunPlantTool(int argc, char **argv);

}  // namespace tav::plant
