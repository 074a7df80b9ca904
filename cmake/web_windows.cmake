# What the room on the web needs in the Windows cross-build. Sets WEB_INCLUDE_DIR and WEB_LIBRARIES.
#
# Boost's Beast and Asio and nlohmann/json are header-only: Debian's own headers serve the cross
# compiler too, from a folder of their own so that no other Linux header comes with them.
set(WEB_INCLUDE_DIR ${CMAKE_BINARY_DIR}/web-include)
file(MAKE_DIRECTORY ${WEB_INCLUDE_DIR})
foreach(header_dir boost nlohmann)
  if(NOT EXISTS /usr/include/${header_dir})
    message(FATAL_ERROR "/usr/include/${header_dir} is missing: install libboost-dev and nlohmann-json3-dev")
  endif()
  file(CREATE_LINK /usr/include/${header_dir} ${WEB_INCLUDE_DIR}/${header_dir} SYMBOLIC)
endforeach()

# libqrencode (LGPL 2.1) as libqrencode.dll beside tonecast.exe, built with the cross compiler from
# the upstream source of Debian's qrencode package: a user may put a build of their own in its
# place, as the licence asks.
include(${CMAKE_CURRENT_LIST_DIR}/debian_source.cmake)
debian_source(qrencode QRENCODE_SOURCE_DIR)
string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+$" QRENCODE_VERSION ${QRENCODE_SOURCE_DIR})
string(REPLACE "." ";" QRENCODE_VERSION_PARTS ${QRENCODE_VERSION})
list(GET QRENCODE_VERSION_PARTS 0 QRENCODE_MAJOR)
list(GET QRENCODE_VERSION_PARTS 1 QRENCODE_MINOR)
list(GET QRENCODE_VERSION_PARTS 2 QRENCODE_MICRO)

enable_language(C)
set(QRENCODE_SOURCES qrencode.c qrinput.c bitstream.c qrspec.c rsecc.c split.c mask.c mqrspec.c mmask.c)
list(TRANSFORM QRENCODE_SOURCES PREPEND ${QRENCODE_SOURCE_DIR}/)
add_library(qrencode SHARED ${QRENCODE_SOURCES})
# Built without threads: the program makes its codes on one thread, before the web thread starts.
target_compile_definitions(qrencode PRIVATE MAJOR_VERSION=${QRENCODE_MAJOR} MINOR_VERSION=${QRENCODE_MINOR}
                           MICRO_VERSION=${QRENCODE_MICRO} VERSION="${QRENCODE_VERSION}" STATIC_IN_RELEASE=static
                           HAVE_STRDUP=1)
# Their code as it is: its warnings are not ours to fix. The DLL carries its C runtime helpers in
# itself, as the exe does.
set_target_properties(qrencode PROPERTIES COMPILE_OPTIONS -w PREFIX lib OUTPUT_NAME qrencode)
target_link_options(qrencode PRIVATE -static-libgcc)
file(COPY ${QRENCODE_SOURCE_DIR}/qrencode.h DESTINATION ${WEB_INCLUDE_DIR})

set(WEB_LIBRARIES qrencode ws2_32 mswsock iphlpapi)
