# PLIB's net library for Windows: the targets plibnet and plibul, built with the cross compiler from
# the upstream source of Debian's plib package, downloaded into the build directory. Sets
# PLIB_INCLUDE_DIR, PLIB_NET_LIBRARY and PLIB_UL_LIBRARY as finding the installed library does.
include(${CMAKE_CURRENT_LIST_DIR}/debian_source.cmake)
debian_source(plib PLIB_SOURCE_DIR)

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
