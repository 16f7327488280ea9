// settingstore-stress: many processes and threads on one shared storage,
// random kills, a watchdog, and a full verification at the end.
//
//   settingstore-stress --duration 60 --workers 4 --threads 3 --summary out.txt
//
// The "worker" and "verify" commands are the controller's own children.
#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>

#include "Controller.h"
#include "Verifier.h"
#include "Worker.h"

int main(int argc, char** argv) {
  CLI::App app{"Shared-storage stress campaign: workers, random SIGKILLs, watchdog, verification"};
  app.require_subcommand(0, 1);

  stress::RunOptions run;
  app.add_option("--type", run.type, "storage type: shared, or xml for a dry run of the machinery")
      ->check(CLI::IsMember({"shared", "xml"}));
  app.add_option("--dir", run.directory, "run directory (kept); a temporary one when not given");
  app.add_flag("--keep", run.keep, "keep the temporary run directory even when the run passes");
  app.add_flag("--discard", run.discard, "remove the temporary run directory even when the run fails");
  app.add_option("--duration", run.duration, "seconds of work")->check(CLI::PositiveNumber);
  app.add_option("--workers", run.workers, "worker processes at a time");
  app.add_option("--threads", run.threads, "threads per worker");
  app.add_option("--sections", run.sections, "top sections shared by all");
  app.add_option("--seed", run.seed, "random seed (0: from the clock)");
  app.add_option("--kill-min-ms", run.killMinMs, "shortest time between two kills");
  app.add_option("--kill-max-ms", run.killMaxMs, "longest time between two kills (0: no kills)");
  app.add_option("--min-kills", run.minKills, "kill at least this many workers");
  app.add_option("--watchdog", run.watchdogSeconds, "seconds after which an operation counts as stuck");
  app.add_option("--summary", run.summaryPath, "also write the summary to this file");
  app.add_option("--cli", run.cliPath, "the settingstore tool whose check command verifies the storage");
  app.add_option("--inject", run.injection,
                 "plant a fault to prove it is caught: stall, corrupt, phantom-ack")
      ->check(CLI::IsMember({"none", "stall", "corrupt", "phantom-ack"}));

  stress::WorkerOptions worker;
  std::string workerInjection;
  CLI::App* workerCommand = app.add_subcommand("worker", "one worker process (started by the controller)");
  workerCommand->add_option("--type", worker.type)->required();
  workerCommand->add_option("--storage", worker.storagePath)->required();
  workerCommand->add_option("--board", worker.boardPath)->required();
  workerCommand->add_option("--slot", worker.slot)->required();
  workerCommand->add_option("--worker", worker.worker)->required();
  workerCommand->add_option("--threads", worker.threads)->required();
  workerCommand->add_option("--sections", worker.sections)->required();
  workerCommand->add_option("--seed", worker.seed)->required();
  workerCommand->add_option("--controller", worker.controllerPid)->required();
  workerCommand->add_option("--inject", workerInjection);

  stress::VerifyOptions verify;
  CLI::App* verifyCommand =
      app.add_subcommand("verify", "the final verification (started by the controller)");
  verifyCommand->add_option("--type", verify.type)->required();
  verifyCommand->add_option("--storage", verify.storagePath)->required();
  verifyCommand->add_option("--board", verify.boardPath)->required();
  verifyCommand->add_option("--expect", verify.expectationsPath)->required();
  verifyCommand->add_option("--sections", verify.sections)->required();
  verifyCommand->add_option("--controller", verify.controllerPid)->required();

  CLI11_PARSE(app, argc, argv);
  try {
    if (*workerCommand) {
      worker.injection = stress::ParseInjection(workerInjection);
      worker.keepHandles = worker.type == "shared";
      return stress::RunWorker(worker);
    }
    if (*verifyCommand) return stress::RunVerifier(verify);
    return stress::RunController(run);
  } catch (const std::exception& e) {
    std::cerr << "settingstore-stress: " << e.what() << std::endl;
    return 2;
  }
}
