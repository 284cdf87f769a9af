// A preloaded library that makes a process see CORVANE_FAKE_CPUS processors: it answers
// the calls that FFmpeg and OpenCV count processors with (sysconf, get_nprocs,
// sched_getaffinity), so their decoders choose thread counts as on a larger machine
// while running on this one. The CPU-count files under /sys and a cgroup's cpuset are
// covered separately, by bind mounts in a mount namespace (bench_peers.with_cpus). Unset
// or invalid, every call goes to the C library unchanged.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <sched.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<long> answered{0};

// The count to report, or 0 to leave the call to the C library.
int fake_count() {
  const char* text = std::getenv("CORVANE_FAKE_CPUS");
  const int count = text ? std::atoi(text) : 0;
  return count > 0 && count <= CPU_SETSIZE ? count : 0;
}

template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The fake count, or what `real` says when there is none.
int count_or(int (*real)()) {
  const int count = fake_count();
  if (count == 0) return real();
  ++answered;
  return count;
}

}  // namespace

extern "C" {

// How many calls were answered with the fake count: a reader can show it was asked.
__attribute__((visibility("default"))) long corvane_fake_cpus_answered() { return answered; }

__attribute__((visibility("default"))) long sysconf(int name) {
  static const auto real = next<long (*)(int)>("sysconf");
  const int count = fake_count();
  if (count > 0 && (name == _SC_NPROCESSORS_ONLN || name == _SC_NPROCESSORS_CONF)) {
    ++answered;
    return count;
  }
  return real(name);
}

__attribute__((visibility("default"))) int get_nprocs() {
  static const auto real = next<int (*)()>("get_nprocs");
  return count_or(real);
}

__attribute__((visibility("default"))) int get_nprocs_conf() {
  static const auto real = next<int (*)()>("get_nprocs_conf");
  return count_or(real);
}

// The processors 0 .. count-1, as far as the caller's set holds them.
__attribute__((visibility("default"))) int sched_getaffinity(pid_t pid, size_t size,
                                                             cpu_set_t* set) {
  static const auto real = next<int (*)(pid_t, size_t, cpu_set_t*)>("sched_getaffinity");
  const int result = real(pid, size, set);
  const int count = fake_count();
  if (result != 0 || count == 0) return result;
  CPU_ZERO_S(size, set);
  for (int cpu = 0; cpu < count && static_cast<size_t>(cpu) < size * 8; ++cpu) {
    CPU_SET_S(cpu, size, set);
  }
  ++answered;
  return 0;
}

}  // extern "C"
