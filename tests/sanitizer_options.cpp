// Sanitizer settings built into every test program, so that they hold however
// the program is started (ctest, by hand, under a debugger). They are weak: a
// test program with needs of its own defines its own.
//
// - Xerces-C leaks a block per document with an external DTD subset
//   (XMLScanner::scanProlog; a bare XercesDOMParser does the same). The
//   suppression matches only with full stacks, which the fast unwinder cannot
//   give through Xerces-C.
extern "C" __attribute__((visibility("default"), weak)) const char* __asan_default_options() {
  return "fast_unwind_on_malloc=0";
}
extern "C" __attribute__((visibility("default"), weak)) const char* __lsan_default_suppressions() {
  return "leak:xercesc_3_2::XMLScanner::scanProlog\n";
}
