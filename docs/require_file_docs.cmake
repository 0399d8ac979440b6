# Fails when a header of the API reference has no "/// \file" comment:
# Doxygen leaves out the free functions and constants of an undocumented file
# without a warning. Arguments: HEADERS, the headers separated by commas.
string(REPLACE "," ";" headers "${HEADERS}")
foreach(header ${headers})
  file(STRINGS ${header} marks REGEX "^/// \\\\file")
  if(NOT marks)
    message(FATAL_ERROR "${header}: no /// \\file comment, so Doxygen would skip its free functions")
  endif()
endforeach()
