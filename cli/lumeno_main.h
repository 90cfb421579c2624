// Entry point of the lumeno command-line tool, callable from main() and from
// tests that run the tool in-process.
#pragma once

namespace lumeno::cli {

// Exit statuses of the tool.
enum ExitStatus : int {
  kExitOk = 0,
  kExitEffectFailed = 1,   // the plug-in reported an error, or some files of a batch failed
  kExitUsage = 2,          // unknown command, effect, property, value or option
  kExitFile = 3,           // a file could not be read or written
  kExitPlugin = 4,         // the plug-in could not be loaded
  kExitInterrupted = 130,  // cancelled with Ctrl-C (SIGINT)
};

int LumenoMain(int argc, char** argv);

}  // namespace lumeno::cli
