# The installed package: install into a temporary prefix and build a caller
# against it with find_package and with pkg-config.
set(QELDOM_INSTALL_TEST_FLAGS "")
if(QELDOM_SANITIZE)
  set(QELDOM_INSTALL_TEST_FLAGS "-fsanitize=${QELDOM_SANITIZE}")
endif()
add_test(NAME install.package
  COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DSOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR}/install
          -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/install-test -DCXX=${CMAKE_CXX_COMPILER}
          "-DCXX_FLAGS=${QELDOM_INSTALL_TEST_FLAGS}" -P ${CMAKE_CURRENT_SOURCE_DIR}/install/check.cmake)
set_tests_properties(install.package PROPERTIES TIMEOUT 300 ENVIRONMENT
  "ASAN_OPTIONS=detect_leaks=1;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp:print_suppressions=0")
