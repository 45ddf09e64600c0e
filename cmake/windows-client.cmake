# The Windows console build (cmake/mingw-w64.cmake): qelquery.exe and the
# protocol library it links, nothing that cannot run on Windows. OpenSSL,
# libxml2, winpthreads and the C++ runtime are linked statically, so the
# .exe is one file to copy.
if(NOT KESTROVA_WINDOWS_DEPS OR NOT EXISTS ${KESTROVA_WINDOWS_DEPS}/.complete)
  message(FATAL_ERROR "The Windows build needs OpenSSL and libxml2 built for Windows: run "
                      "sh scripts/build-windows-deps.sh and pass "
                      "-DKESTROVA_WINDOWS_DEPS=$(sh scripts/build-windows-deps.sh --print-prefix)")
endif()
set(win_deps ${KESTROVA_WINDOWS_DEPS})

find_package(Threads REQUIRED)

# Vista's socket calls (WSAPoll, inet_pton), without wincrypt.h (whose
# X509_NAME and friends clash with OpenSSL's); C99 formatting of printf, so
# the dumps read as the Linux build's; libxml2 as a static library.
add_compile_definitions(WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0600 WINVER=0x0600 __USE_MINGW_ANSI_STDIO=1 LIBXML_STATIC)

# The same target names as the Linux build's pkg-config modules, so lib/
# builds unchanged.
find_library(KESTROVA_WIN_SSL NAMES libssl.a PATHS ${win_deps}/lib NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_library(KESTROVA_WIN_CRYPTO NAMES libcrypto.a PATHS ${win_deps}/lib NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_library(KESTROVA_WIN_XML2 NAMES libxml2.a libxml2s.a PATHS ${win_deps}/lib NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
add_library(PkgConfig::OPENSSL INTERFACE IMPORTED)
set_target_properties(PkgConfig::OPENSSL PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${win_deps}/include
  INTERFACE_LINK_LIBRARIES "${KESTROVA_WIN_SSL};${KESTROVA_WIN_CRYPTO};ws2_32;gdi32;crypt32;advapi32;user32")
add_library(PkgConfig::LIBXML2 INTERFACE IMPORTED)
set_target_properties(PkgConfig::LIBXML2 PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${win_deps}/include/libxml2;${win_deps}/include"
  INTERFACE_LINK_LIBRARIES "${KESTROVA_WIN_XML2};ws2_32")

add_subdirectory(lib)
target_link_libraries(qelproto PUBLIC ws2_32 iphlpapi)

# The client's own sources (an optional output form lives beside it), its
# Windows pieces (the application link, the export table).
set(qelquery_sources ${CMAKE_SOURCE_DIR}/tools/qelquery.cpp
    ${CMAKE_SOURCE_DIR}/tools/win/applink.c)
if(EXISTS ${CMAKE_SOURCE_DIR}/tools/qel_json.cpp)
  list(APPEND qelquery_sources ${CMAKE_SOURCE_DIR}/tools/qel_json.cpp)
endif()
add_executable(qelquery ${qelquery_sources})
# nlohmann-json is headers only, so the Linux package's serve this build too,
# through a directory that holds them alone (the rest of /usr/include is
# Linux's and must stay out of a Windows compile).
find_path(KESTROVA_NLOHMANN_ROOT nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(KESTROVA_NLOHMANN_ROOT)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/json-include)
  file(CREATE_LINK ${KESTROVA_NLOHMANN_ROOT}/nlohmann ${CMAKE_BINARY_DIR}/json-include/nlohmann SYMBOLIC)
  target_include_directories(qelquery SYSTEM PRIVATE ${CMAKE_BINARY_DIR}/json-include)
endif()
# OpenSSL's own source file: its casts are its business.
set_source_files_properties(${CMAKE_SOURCE_DIR}/tools/win/applink.c PROPERTIES COMPILE_OPTIONS "-w")
target_include_directories(qelquery PRIVATE ${CMAKE_SOURCE_DIR}/tools)
target_link_libraries(qelquery PRIVATE qelproto)
# The export table is the .def file's list, and only that: the libraries'
# own export marks (libxml2's headers mark every function) stay out.
set(qelquery_def ${CMAKE_SOURCE_DIR}/tools/win/qelquery.def)
target_link_options(qelquery PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--exclude-libs,ALL ${qelquery_def})
set_target_properties(qelquery PROPERTIES LINK_DEPENDS ${qelquery_def})
set_target_properties(qelquery PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
