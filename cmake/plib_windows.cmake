# PLIB's net library for Windows: the targets plibnet and plibul, built with the cross compiler from
# the upstream source of Debian's plib package, downloaded into the build directory. Sets
# PLIB_INCLUDE_DIR, PLIB_NET_LIBRARY and PLIB_UL_LIBRARY as finding the installed library does.
set(PLIB_DOWNLOAD_DIR ${CMAKE_BINARY_DIR}/plib-download)
execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/fetch_debian_source.sh plib ${PLIB_DOWNLOAD_DIR}
                RESULT_VARIABLE fetch_status)
if(NOT fetch_status EQUAL 0)
  message(FATAL_ERROR "PLIB's source could not be downloaded")
endif()
file(GLOB PLIB_TARBALL ${PLIB_DOWNLOAD_DIR}/plib_*.orig.tar.*)

set(PLIB_UNPACK_DIR ${CMAKE_BINARY_DIR}/plib-source)
file(GLOB PLIB_SOURCE_DIR LIST_DIRECTORIES true ${PLIB_UNPACK_DIR}/plib-*)
if(NOT PLIB_SOURCE_DIR)
  file(ARCHIVE_EXTRACT INPUT ${PLIB_TARBALL} DESTINATION ${PLIB_UNPACK_DIR})
  file(GLOB PLIB_SOURCE_DIR LIST_DIRECTORIES true ${PLIB_UNPACK_DIR}/plib-*)
endif()

# The headers as an installed PLIB lays them out, so that the program includes <plib/net.h>.
set(PLIB_INCLUDE_DIR ${CMAKE_BINARY_DIR}/plib-include)
file(GLOB PLIB_HEADERS ${PLIB_SOURCE_DIR}/src/util/*.h ${PLIB_SOURCE_DIR}/src/net/*.h)
file(COPY ${PLIB_HEADERS} DESTINATION ${PLIB_INCLUDE_DIR}/plib)

file(GLOB PLIB_UL_SOURCES ${PLIB_SOURCE_DIR}/src/util/*.cxx)
file(GLOB PLIB_NET_SOURCES ${PLIB_SOURCE_DIR}/src/net/*.cxx)
add_library(plibul STATIC ${PLIB_UL_SOURCES})
add_library(plibnet STATIC ${PLIB_NET_SOURCES})
foreach(library plibul plibnet)
  # Their code as it is: its warnings are not ours to fix.
  set_target_properties(${library} PROPERTIES COMPILE_OPTIONS -w)
  target_include_directories(${library} PRIVATE ${PLIB_INCLUDE_DIR}/plib PUBLIC ${PLIB_INCLUDE_DIR})
endforeach()
target_link_libraries(plibul PUBLIC winmm)
target_link_libraries(plibnet PUBLIC plibul ws2_32)
set(PLIB_NET_LIBRARY plibnet)
set(PLIB_UL_LIBRARY plibul)
