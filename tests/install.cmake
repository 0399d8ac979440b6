# The installed package: install into a temporary prefix and build a caller
# against it with find_package and with pkg-config; the same for the Debian
# package that cpack makes (label "deb": ctest -LE deb leaves it out).
set(QELDOM_INSTALL_TEST_FLAGS "")
if(QELDOM_SANITIZE)
  set(QELDOM_INSTALL_TEST_FLAGS "-fsanitize=${QELDOM_SANITIZE}")
endif()
function(add_install_test name work)
  add_test(NAME ${name}
    COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DSOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR}/install
            -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/${work} -DCXX=${CMAKE_CXX_COMPILER}
            "-DCXX_FLAGS=${QELDOM_INSTALL_TEST_FLAGS}" ${ARGN} -P ${CMAKE_CURRENT_SOURCE_DIR}/install/check.cmake)
  # Every install from the build tree writes its install manifest there.
  set_tests_properties(${name} PROPERTIES TIMEOUT 300 RESOURCE_LOCK build_tree_install ENVIRONMENT
    "ASAN_OPTIONS=detect_leaks=1;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp:print_suppressions=0")
endfunction()
add_install_test(install.package install-test)
add_install_test(install.deb deb-test -DCPACK=${CMAKE_CPACK_COMMAND})
set_tests_properties(install.deb PROPERTIES LABELS deb)
