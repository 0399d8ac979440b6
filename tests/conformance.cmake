# The W3C XML Conformance Test Suite is unpacked from the shared archive into
# the build tree at build time (its licence forbids committing its files).
set(QELDOM_XMLCONF_ZIP ${QELDOM_SHARED_DIR}/xmlconf/xmlts20130923.zip)
target_compile_definitions(test_conformance PRIVATE QELDOM_XMLCONF_DIR="${CMAKE_BINARY_DIR}/xmlconf")
if(EXISTS ${QELDOM_XMLCONF_ZIP})
  find_program(QELDOM_UNZIP unzip REQUIRED)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/xmlconf/.unpacked
    COMMAND ${QELDOM_UNZIP} -q -o ${QELDOM_XMLCONF_ZIP} -d ${CMAKE_BINARY_DIR}
    COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/xmlconf/.unpacked
    DEPENDS ${QELDOM_XMLCONF_ZIP} COMMENT "Unpacking the W3C XML Conformance Test Suite")
  add_custom_target(xmlconf_unpack DEPENDS ${CMAKE_BINARY_DIR}/xmlconf/.unpacked)
  add_dependencies(test_conformance xmlconf_unpack)
else()
  message(WARNING "${QELDOM_XMLCONF_ZIP} not found: the conformance test will fail (set QELDOM_SHARED_DIR)")
endif()
