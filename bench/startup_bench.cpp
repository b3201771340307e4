// How long corvale-cli takes to answer --help, next to a program that does nothing.
//   build/bin/startup_bench
// help/corvale-cli starts the command line and prints its help; help/true starts
// /bin/true, the floor that creating any process costs on this machine.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <benchmark/benchmark.h>

extern char** environ;

namespace {

// Runs the program with its output discarded and waits for it.
void runQuietly(benchmark::State& state, const char* program, const char* argument) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  char* const argv[] = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
  for (auto _ : state) {
    pid_t pid = 0;
    int status = 0;
    if (posix_spawn(&pid, program, &actions, nullptr, argv, environ) != 0 || waitpid(pid, &status, 0) != pid ||
        !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("the program did not run");
      break;
    }
  }
  posix_spawn_file_actions_destroy(&actions);
}

void help(benchmark::State& state) { runQuietly(state, CORVALE_CLI, "--help"); }
void nothing(benchmark::State& state) { runQuietly(state, "/bin/true", nullptr); }

}  // namespace

BENCHMARK(nothing)->Name("help/true")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(help)->Name("help/corvale-cli")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

BENCHMARK_MAIN();
