# ISA-L, which inflates the PNG window's image data, as the target
# kadrova_isal: on Linux Debian's shared library (libisal-dev); for Windows a
# static library made once per build folder from Debian's source package
# (scripts/build_isal_windows.sh), with the compiler, flags and UCRT specs
# of everything else in kadrova.exe.
if(NOT CMAKE_CROSSCOMPILING)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ISAL REQUIRED IMPORTED_TARGET libisal)
  add_library(kadrova_isal INTERFACE)
  target_link_libraries(kadrova_isal INTERFACE PkgConfig::ISAL)
  return()
endif()

set(KADROVA_ISAL_DIR ${CMAKE_BINARY_DIR}/isal)
string(TOUPPER "${CMAKE_BUILD_TYPE}" build_type)
get_directory_property(options COMPILE_OPTIONS)
string(JOIN " " isal_flags ${CMAKE_C_FLAGS} ${CMAKE_C_FLAGS_${build_type}} ${options})
add_custom_command(OUTPUT ${KADROVA_ISAL_DIR}/lib/libisal.a
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/build_isal_windows.sh ${KADROVA_ISAL_DIR} ${CMAKE_C_COMPILER} "${isal_flags}"
  DEPENDS ${PROJECT_SOURCE_DIR}/scripts/build_isal_windows.sh
  COMMENT "Building ISA-L for Windows from Debian's source package"
  USES_TERMINAL VERBATIM)
add_custom_target(kadrova_isal_build DEPENDS ${KADROVA_ISAL_DIR}/lib/libisal.a)

file(MAKE_DIRECTORY ${KADROVA_ISAL_DIR}/include)
add_library(kadrova_isal_static STATIC IMPORTED)
set_target_properties(kadrova_isal_static PROPERTIES
  IMPORTED_LOCATION ${KADROVA_ISAL_DIR}/lib/libisal.a
  INTERFACE_INCLUDE_DIRECTORIES ${KADROVA_ISAL_DIR}/include)
add_library(kadrova_isal INTERFACE)
target_link_libraries(kadrova_isal INTERFACE kadrova_isal_static)
add_dependencies(kadrova_isal kadrova_isal_build)
