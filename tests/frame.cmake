# The frame tests put their own XMLPlatformUtils::Initialize in the place of
# Xerces-C's; a definition in the program is only found by libqeldom.so when
# the program exports it, so that program keeps default visibility.
set_target_properties(test_frame PROPERTIES CXX_VISIBILITY_PRESET default)

# Only the interface leaves libqeldom.so: qel and tav free functions, Qel
# classes and the output operators; never its operator new, nothing of its
# internals. The names that break the rule are printed.
set(QELDOM_EXPORTED "^((qel|tav)[A-Za-z0-9_]*[([]|((vtable|VTT|typeinfo|typeinfo name) for |(non-)?virtual thunk to )?Qel|operator<<\\(std::|__odr_asan\\.)")
add_test(NAME Symbols.OnlyTheInterfaceIsExported COMMAND sh -c
  "names=$(nm -D -C --defined-only \"$0\" | cut -d' ' -f3-) && echo \"$names\" | grep -qx 'tavDomInit()' && ! echo \"$names\" | grep -Ev \"$1\" && ! echo \"$names\" | grep -E 'qel_detail|anonymous'"
  $<TARGET_FILE:qeldom> "${QELDOM_EXPORTED}")
