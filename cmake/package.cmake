# cpack -G DEB: one Debian package of the libraries, the headers, qelxml with
# its manual page, the CMake package and qeldom.pc, installed under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qeldom)
set(CPACK_PACKAGE_VENDOR "qeldom maintainers")
set(CPACK_PACKAGE_CONTACT "qeldom maintainers <maintainers@users.noreply.c-seed-12383c3c.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "XML interface on top of the Xerces-C DOM")
set(CPACK_PACKAGE_DESCRIPTION "One-call DOM editing, a serializer into any code page, parsing with an \
xml:space-aware whitespace rule, encoding recognition and XML 1.0 name checks over Xerces-C; the qelxml \
tool; headers, CMake package and pkg-config file for building against it.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_STRIP_FILES ON)
# The run-time dependencies come from dpkg-shlibdeps; libqelrt, which the
# package itself holds, is looked up in the build tree. Building against the
# headers also needs Xerces-C's and ICU's development packages and
# pkg-config, which the CMake package and qeldom.pc use: recommended rather
# than required, so the tool alone installs without a compiler's worth of
# packages.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libxerces-c-dev, libicu-dev, pkg-config")
include(CPack)
