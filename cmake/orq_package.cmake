# What `cmake --install` puts beside the agent and the libraries: a CMake
# package (find_package(orq CONFIG)) and pkg-config files, both relocatable.
include(CMakePackageConfigHelpers)

set(ORQ_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/orq")
set(ORQ_BOOST_VERSION "${Boost_MAJOR_VERSION}.${Boost_MINOR_VERSION}")

install(EXPORT orqTargets NAMESPACE orq:: DESTINATION "${ORQ_CMAKE_DIR}" COMPONENT dev)
configure_package_config_file(cmake/orqConfig.cmake.in "${PROJECT_BINARY_DIR}/orqConfig.cmake"
  INSTALL_DESTINATION "${ORQ_CMAKE_DIR}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/orqConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}" COMPATIBILITY SameMinorVersion)
install(FILES "${PROJECT_BINARY_DIR}/orqConfig.cmake" "${PROJECT_BINARY_DIR}/orqConfigVersion.cmake"
  DESTINATION "${ORQ_CMAKE_DIR}" COMPONENT dev)

# Static libraries: their users link what they link, so it goes in Requires.
set(ORQ_CORE_PC_MODULES "")
foreach(dependency IN LISTS ORQ_PKG_DEPENDENCIES)
  string(REGEX REPLACE "^[^=]*=" "" module "${dependency}")
  if(NOT module STREQUAL "jsoncpp")
    list(APPEND ORQ_CORE_PC_MODULES "${module}")
  endif()
endforeach()
# The files are relocatable: the prefix is found from the file's own
# directory, however deep the library directory is (lib/<multiarch> too).
file(RELATIVE_PATH ORQ_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" ORQ_PC_TO_PREFIX "${ORQ_PC_TO_PREFIX}")
function(orq_pkg_config name description library requires)
  set(ORQ_PC_NAME "${name}")
  set(ORQ_PC_DESCRIPTION "${description}")
  set(ORQ_PC_LIBRARY "${library}")
  string(REPLACE ";" " " ORQ_PC_REQUIRES "${requires}")
  configure_file(cmake/orq.pc.in "${PROJECT_BINARY_DIR}/${name}.pc" @ONLY)
  install(FILES "${PROJECT_BINARY_DIR}/${name}.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig" COMPONENT dev)
endfunction()
orq_pkg_config(orq-core "orq runtime library: event loop, timers, ZeroMQ, sockets, HTTP, Redis, logger"
  orq_core "${ORQ_CORE_PC_MODULES}")
orq_pkg_config(orq-config-parser "orq configuration documents (JSON)" orq_config_parser jsoncpp)

# The installed tree, in a scratch prefix, is what the tests below build on
# (fixture orq_installed_tree): each header alone, the README's builds, the
# examples (examples/CMakeLists.txt). Only in the plain build: a sanitizer
# build's libraries need the sanitizer's runtime in whatever links them.
if(ORQ_BUILD_TESTS AND ORQ_SANITIZE STREQUAL "")
  set(ORQ_INSTALL_TEST_PREFIX "${PROJECT_BINARY_DIR}/install-test/prefix")
  add_test(NAME packaging.install_into_a_scratch_prefix
    COMMAND bash "${PROJECT_SOURCE_DIR}/packaging/tests/install_test.sh" "${PROJECT_BINARY_DIR}" "${ORQ_INSTALL_TEST_PREFIX}")
  set_tests_properties(packaging.install_into_a_scratch_prefix PROPERTIES
    LABELS packaging TIMEOUT 300 FIXTURES_SETUP orq_installed_tree)
  add_test(NAME packaging.installed_headers_compile_alone
    COMMAND bash "${PROJECT_SOURCE_DIR}/packaging/tests/headers_test.sh"
            "${ORQ_INSTALL_TEST_PREFIX}" "${PROJECT_BINARY_DIR}/install-test/headers" ${ORQ_DEV_PACKAGE_DEPENDS})
  add_test(NAME packaging.readme_builds_run_on_the_installed_tree
    COMMAND bash "${PROJECT_SOURCE_DIR}/packaging/tests/readme_test.sh"
            "${PROJECT_SOURCE_DIR}/README.md" "${ORQ_INSTALL_TEST_PREFIX}" "${PROJECT_BINARY_DIR}/install-test/readme")
  set_tests_properties(packaging.installed_headers_compile_alone packaging.readme_builds_run_on_the_installed_tree
    PROPERTIES LABELS packaging TIMEOUT 900 FIXTURES_REQUIRED orq_installed_tree)
endif()
