# Installs the build into a fresh prefix under WORK_DIR, checks what is there
# and builds and runs the caller program against it, once through
# find_package and once through pkg-config. With CPACK set, the install is the
# Debian package that cpack makes, unpacked with dpkg -x into a scratch root.
# Arguments: BUILD_DIR, SOURCE_DIR, WORK_DIR, CXX, CXX_FLAGS, CPACK.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK_DIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    list(JOIN ARGN " " cmd)
    message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

function(expect_greeting program)
  run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${program})
  if(NOT out STREQUAL "text: hello world\n")
    message(FATAL_ERROR "${program} printed: ${out}")
  endif()
endfunction()

if(CPACK)
  run(${CPACK} -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR}/deb)
  file(GLOB deb ${WORK_DIR}/deb/*.deb)
  run(dpkg-deb --field ${deb} Package Depends)
  if(NOT out MATCHES "Package: qeldom\n" OR NOT out MATCHES "Depends:.*libxerces-c")
    message(FATAL_ERROR "unexpected control fields of ${deb}:\n${out}")
  endif()
  run(dpkg -x ${deb} ${WORK_DIR}/root)
  set(prefix ${WORK_DIR}/root/usr)
else()
  set(prefix ${WORK_DIR}/prefix)
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
endif()
foreach(f include/qeldom/qeldom.hpp include/qeldom/qelschema.hpp include/qeldom/qelutil.hpp bin/qelxml)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
file(GLOB_RECURSE pcfile ${prefix}/*/qeldom.pc)
if(NOT pcfile)
  message(FATAL_ERROR "not installed: qeldom.pc")
endif()
get_filename_component(pcdir ${pcfile} DIRECTORY)
get_filename_component(libdir ${pcdir} DIRECTORY)
file(GLOB sonames ${libdir}/libqeldom.so.* ${libdir}/libqelrt.so.*)
list(LENGTH sonames count)
if(count LESS 4)
  message(FATAL_ERROR "the libraries are not installed with their versioned names: ${sonames}")
endif()

# Every installed header compiles on its own.
file(GLOB headers ${prefix}/include/qeldom/*.hpp)
foreach(header ${headers})
  get_filename_component(name ${header} NAME)
  file(WRITE ${WORK_DIR}/alone/${name}.cpp "#include \"${name}\"\n")
  run(${CXX} -std=c++17 -fsyntax-only -I${prefix}/include/qeldom ${WORK_DIR}/alone/${name}.cpp)
endforeach()

# The installed tool runs from the prefix without help.
run(${prefix}/bin/qelxml --version)

# Its manual page names every subcommand and option that --help lists, on the
# tool and on each subcommand.
file(READ ${prefix}/share/man/man1/qelxml.1 page)
string(REGEX REPLACE "\\\\f[BIRP]" "" page "${page}")
string(REPLACE "\\-" "-" page "${page}")
run(${prefix}/bin/qelxml --help)
string(REGEX MATCH "\nSubcommands:\n.*" subcommands "${out}")
string(REGEX MATCHALL "\n  [a-z]+" subcommands "${subcommands}")
string(REPLACE "\n  " "" subcommands "${subcommands}")
set(listed "${subcommands}")
foreach(help "" ${subcommands})
  run(${prefix}/bin/qelxml ${help} --help)
  string(REGEX MATCHALL "\n  -[^ \n]+" options "${out}")
  string(REPLACE "\n  " "" options "${options}")
  string(REPLACE "," ";" options "${options}")
  list(APPEND listed ${options})
endforeach()
if(NOT subcommands)
  message(FATAL_ERROR "no subcommands found in qelxml --help:\n${out}")
endif()
foreach(item ${listed})
  if(NOT page MATCHES "(^|[^-A-Za-z])${item}([^-A-Za-z]|$)")
    message(FATAL_ERROR "the manual page does not mention ${item}, which qelxml --help lists")
  endif()
endforeach()

# CMake package.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/cmake-build -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
expect_greeting(${WORK_DIR}/cmake-build/caller)

# pkg-config.
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pcdir} pkg-config --cflags --libs qeldom)
string(STRIP "${out}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS}")
run(${CXX} -std=c++17 ${cxx_flags} ${SOURCE_DIR}/caller.cpp ${flags} -o ${WORK_DIR}/caller-pc)
expect_greeting(${WORK_DIR}/caller-pc)
