# test_encoding reads the encoding corpus below QELDOM_SHARED_DIR, by default
# the "shared" folder beside the repository. A checkout kept elsewhere (a git
# worktree, for instance) can point it at another copy:
#   cmake -S . -B build -DQELDOM_TEST_SHARED_DIR=/path/to/shared
set(QELDOM_TEST_SHARED_DIR "" CACHE PATH "Folder of the shared test data (empty: shared beside the repository)")
if(QELDOM_TEST_SHARED_DIR AND TARGET test_encoding)
  get_target_property(qeldom_encoding_defs test_encoding COMPILE_DEFINITIONS)
  list(FILTER qeldom_encoding_defs EXCLUDE REGEX "^QELDOM_SHARED_DIR=")
  list(APPEND qeldom_encoding_defs "QELDOM_SHARED_DIR=\"${QELDOM_TEST_SHARED_DIR}\"")
  set_target_properties(test_encoding PROPERTIES COMPILE_DEFINITIONS "${qeldom_encoding_defs}")
endif()
