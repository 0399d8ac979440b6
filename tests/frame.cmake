# The frame tests put their own XMLPlatformUtils::Initialize in the place of
# Xerces-C's; a definition in the program is only found by libqeldom.so when
# the program exports it, so these programs keep default visibility.
foreach(t test_frame test_platform_failure)
  if(TARGET ${t})
    set_target_properties(${t} PROPERTIES CXX_VISIBILITY_PRESET default)
  endif()
endforeach()
