# The installed package, and the Debian package cpack makes (label "deb":
# ctest -LE deb leaves it out): a caller built against each.
string(REGEX REPLACE "^(.+)$" "-fsanitize=\\1" QELDOM_INSTALL_TEST_FLAGS "${QELDOM_SANITIZE}")
function(add_install_test name work)
  add_test(NAME ${name}
    COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DSOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR}/install
            -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/${work} -DCXX=${CMAKE_CXX_COMPILER}
            "-DCXX_FLAGS=${QELDOM_INSTALL_TEST_FLAGS}" ${ARGN}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/install/check.cmake)
  # Every install from the build tree writes its install manifest there.
  set_tests_properties(${name} PROPERTIES TIMEOUT 300 RESOURCE_LOCK build_tree_install ENVIRONMENT
    "ASAN_OPTIONS=detect_leaks=1;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp:print_suppressions=0")
endfunction()
add_install_test(install.package install-test)
add_install_test(install.deb deb-test -DCPACK=${CMAKE_CPACK_COMMAND})
set_tests_properties(install.deb PROPERTIES LABELS deb)
