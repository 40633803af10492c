# qobz::qobz, the library for other programs: the platform, codec and archive layers and the C API
# in one file, static unless BUILD_SHARED_LIBS is on. Its users see include/ and nothing else.
# The launcher and the tool link the layers directly and never carry the C API.
include(GNUInstallDirs)
configure_file(${PROJECT_SOURCE_DIR}/include/qobz/version.h.in
               ${PROJECT_BINARY_DIR}/include/qobz/version.h @ONLY)

add_library(qobz_library
  $<TARGET_OBJECTS:qobz_platform> $<TARGET_OBJECTS:qobz_codecs> $<TARGET_OBJECTS:qobz_archive>
  ${PROJECT_SOURCE_DIR}/archive/capi/c_api.cpp)
add_library(qobz::qobz ALIAS qobz_library)
target_include_directories(qobz_library
  PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
         $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/include>
         $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
  PRIVATE ${PROJECT_SOURCE_DIR})
if(WIN32)
  target_link_libraries(qobz_library PRIVATE advapi32 ntdll)
else()
  target_link_libraries(qobz_library PRIVATE ${CMAKE_DL_LIBS})
endif()
set_target_properties(qobz_library PROPERTIES
  OUTPUT_NAME qobz EXPORT_NAME qobz
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
  ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib)
target_compile_definitions(qobz_library PRIVATE QOBZ_BUILDING_LIBRARY
  $<$<BOOL:${BUILD_SHARED_LIBS}>:QOBZ_SHARED>)
target_compile_definitions(qobz_library INTERFACE $<$<BOOL:${BUILD_SHARED_LIBS}>:QOBZ_SHARED>)
qobz_warnings(qobz_library)
