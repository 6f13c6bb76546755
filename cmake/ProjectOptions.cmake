# Compiler settings shared by every target of the project.

option(TARN_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" ON)
set(TARN_SANITIZE "" CACHE STRING "Sanitizers to build with: empty, 'address;undefined' or 'thread'")

set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)

# asio is used without Boost; msgpack-c too (set on the RPC module, whose users compile its
# headers); spdlog as its compiled library to keep builds short.
add_compile_definitions(ASIO_STANDALONE ASIO_NO_DEPRECATED)

if(TARN_SANITIZE)
  string(REPLACE ";" "," _tarn_sanitizers "${TARN_SANITIZE}")
  add_compile_options(-fsanitize=${_tarn_sanitizers} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${_tarn_sanitizers})
  if("undefined" IN_LIST TARN_SANITIZE)
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
  # Sanitizer instrumentation makes g++ report uninitialised use inside Boost.Signals2 that is not
  # there; the clean optimised build keeps the warning.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
  # asio's fences are not modelled by ThreadSanitizer; g++ warns about them, which -Werror would stop.
  if("thread" IN_LIST TARN_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-tsan)
  endif()
endif()

function(tarn_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(TARN_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# tarn_add_library(NAME SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...] [INCLUDE_DIR dir])
# Builds the sources once and links them twice: NAME, the shared library that exports only the
# classes marked for export, and NAME_static, which the unit tests link so that they can reach the
# internal classes too. A process must link one of the two, never both.
function(tarn_add_library name)
  cmake_parse_arguments(ARG "" "INCLUDE_DIR" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name}_objects OBJECT ${ARG_SOURCES})
  target_include_directories(${name}_objects PUBLIC $<BUILD_INTERFACE:${ARG_INCLUDE_DIR}>)
  target_link_libraries(${name}_objects PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  tarn_set_warnings(${name}_objects)

  foreach(kind SHARED STATIC)
    if(kind STREQUAL "SHARED")
      set(target ${name})
    else()
      set(target ${name}_static)
    endif()
    add_library(${target} ${kind} $<TARGET_OBJECTS:${name}_objects>)
    target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${ARG_INCLUDE_DIR}>
                                                $<INSTALL_INTERFACE:include>)
    target_link_libraries(${target} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  endforeach()
endfunction()
