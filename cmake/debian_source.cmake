# debian_source(PACKAGE SOURCE_DIR_VARIABLE): the upstream source of one of Debian's source packages,
# downloaded into the build directory once (fetch_debian_source.sh) and unpacked there; sets the
# variable to the unpacked tree, <build>/<package>-source/<package>-<version>.
function(debian_source package source_dir_variable)
  set(download_dir ${CMAKE_BINARY_DIR}/${package}-download)
  execute_process(COMMAND ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/fetch_debian_source.sh ${package} ${download_dir}
                  RESULT_VARIABLE fetch_status)
  if(NOT fetch_status EQUAL 0)
    message(FATAL_ERROR "The source of Debian's ${package} package could not be downloaded")
  endif()
  set(unpack_dir ${CMAKE_BINARY_DIR}/${package}-source)
  file(GLOB source_dir LIST_DIRECTORIES true ${unpack_dir}/${package}-*)
  if(NOT source_dir)
    file(GLOB tarball ${download_dir}/${package}_*.orig.tar.*)
    file(ARCHIVE_EXTRACT INPUT ${tarball} DESTINATION ${unpack_dir})
    file(GLOB source_dir LIST_DIRECTORIES true ${unpack_dir}/${package}-*)
  endif()
  set(${source_dir_variable} ${source_dir} PARENT_SCOPE)
endfunction()
