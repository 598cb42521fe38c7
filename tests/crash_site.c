/* Where a crash happened: loaded into the allocation-failure sweep's children,
 * it prints, on SIGSEGV or SIGBUS, the shared objects of the faulting frame and
 * of its callers ("crash-site: /path/libpython3.13.so.1.0 ..."), then hands the
 * signal to the handler it replaced (faulthandler's). The sweep tells a crash
 * inside the interpreter from one inside korvane by that line. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <execinfo.h>
#include <signal.h>
#include <string.h>
#include <ucontext.h>
#include <unistd.h>

static struct sigaction previous_segv, previous_bus;
static char alt_stack[1 << 16];

static void put(const char* s) {
  ssize_t r = write(2, s, strlen(s));
  (void)r;
}

static void put_object(void* address) {
  Dl_info info;
  if (dladdr(address, &info) && info.dli_fname) {
    put(" ");
    put(info.dli_fname[0] ? info.dli_fname : "<main>");
  }
}

static void on_fault(int sig, siginfo_t* info, void* context) {
  (void)info;
  void* frames[64];
  int n = backtrace(frames, 64);
  void* pc = 0;
#if defined(__x86_64__)
  pc = (void*)((ucontext_t*)context)->uc_mcontext.gregs[REG_RIP];
#elif defined(__aarch64__)
  pc = (void*)((ucontext_t*)context)->uc_mcontext.pc;
#endif
  int from = n;
  for (int i = 0; i < n; i++)
    if (frames[i] == pc) {
      from = i;
      break;
    }
  put("\ncrash-site:");
  if (from == n && pc) put_object(pc);
  for (int i = from == n ? 0 : from; i < n; i++) put_object(frames[i]);
  put("\n");
  /* The faulting instruction runs again and reaches the previous handler. */
  sigaction(sig, sig == SIGBUS ? &previous_bus : &previous_segv, 0);
}

void crash_site_install(void) {
  void* first[1];
  backtrace(first, 1); /* loads the unwinder now, never inside the handler */
  stack_t ss;
  memset(&ss, 0, sizeof ss);
  ss.ss_sp = alt_stack;
  ss.ss_size = sizeof alt_stack;
  sigaltstack(&ss, 0);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = on_fault;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGSEGV, &sa, &previous_segv);
  sigaction(SIGBUS, &sa, &previous_bus);
}
