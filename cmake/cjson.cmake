# cJSON for the product libraries (target cjson_ext).
#
# Static build: Debian ships no static cJSON, so the library is compiled from Debian's own
# cjson source package, which scripts/fetch-cjson-source.sh fetches through apt (with a
# private sources list) into this build folder at configure time. Dynamic build: the shared
# library of the libcjson-dev package.
if(MORVEL_STATIC)
  set(cjson_fetch ${CMAKE_SOURCE_DIR}/scripts/fetch-cjson-source.sh)
  set(cjson_dest ${CMAKE_BINARY_DIR}/cjson-source)
  if(NOT EXISTS "${MORVEL_CJSON_SOURCE_DIR}/cJSON.c")
    message(STATUS "Fetching Debian's cjson source package into ${cjson_dest}")
    execute_process(COMMAND ${cjson_fetch} ${cjson_dest}
                    OUTPUT_VARIABLE cjson_out ERROR_VARIABLE cjson_err RESULT_VARIABLE cjson_rc)
    if(NOT cjson_rc EQUAL 0)
      message(FATAL_ERROR "Debian's cjson source package could not be fetched:\n${cjson_err}")
    endif()
    string(REGEX REPLACE ".*\n([^\n]+)\n?$" "\\1" cjson_dir "\n${cjson_out}")
    set(MORVEL_CJSON_SOURCE_DIR ${cjson_dir} CACHE PATH "Unpacked cjson source package" FORCE)
  endif()
  # The headers are included as <cjson/cJSON.h>, as from the packaged library.
  file(COPY ${MORVEL_CJSON_SOURCE_DIR}/cJSON.h DESTINATION ${CMAKE_BINARY_DIR}/cjson-include/cjson)
  add_library(cjson_ext STATIC ${MORVEL_CJSON_SOURCE_DIR}/cJSON.c)
  target_include_directories(cjson_ext PUBLIC ${CMAKE_BINARY_DIR}/cjson-include)
  # Upstream code, built as Debian builds it; our warning flags are not its business.
  target_compile_options(cjson_ext PRIVATE -w)
  set_target_properties(cjson_ext PROPERTIES LINKER_LANGUAGE C)
else()
  find_path(CJSON_INCLUDE_DIR cjson/cJSON.h REQUIRED)
  find_library(CJSON_LIBRARY cjson REQUIRED)
  add_library(cjson_ext INTERFACE)
  target_include_directories(cjson_ext INTERFACE ${CJSON_INCLUDE_DIR})
  target_link_libraries(cjson_ext INTERFACE ${CJSON_LIBRARY})
endif()
