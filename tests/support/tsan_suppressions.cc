// ThreadSanitizer's lock-order check sees a cycle in the owner lock's
// registration that cannot deadlock: a thread makes its registration mutex
// while it holds the registrator mutex, and later, holding its registration
// for life, takes the registrator to check another thread. Under the
// registrator a registration mutex is only ever waited on with a time limit.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "deadlock:RegisterCurrent\n"
         "deadlock:storage::owner::GlobalRegistrator::is_registered\n";
}
#endif
