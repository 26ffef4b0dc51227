# The Windows build's dependencies. fmt (in its header-only mode), CLI11 and
# nlohmann-json are the very headers of the Linux build's Debian packages;
# they are linked into a folder of their own so that the cross compiler never
# sees the rest of /usr/include, whose system headers are Linux's.
set(_lumavix_hdr ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${_lumavix_hdr})
foreach(_dir fmt CLI nlohmann)
  if(NOT EXISTS /usr/include/${_dir})
    message(FATAL_ERROR "/usr/include/${_dir} is missing: install libfmt-dev, libcli11-dev "
                        "and nlohmann-json3-dev (packaging/build-deps.sh)")
  endif()
  file(CREATE_LINK /usr/include/${_dir} ${_lumavix_hdr}/${_dir} SYMBOLIC)
endforeach()

add_library(lumavix_fmt INTERFACE)
target_include_directories(lumavix_fmt SYSTEM INTERFACE ${_lumavix_hdr})
target_compile_definitions(lumavix_fmt INTERFACE FMT_HEADER_ONLY=1)
add_library(fmt::fmt ALIAS lumavix_fmt)
add_library(lumavix_cli11 INTERFACE)
target_include_directories(lumavix_cli11 SYSTEM INTERFACE ${_lumavix_hdr})
add_library(CLI11::CLI11 ALIAS lumavix_cli11)
add_library(lumavix_json INTERFACE)
target_include_directories(lumavix_json SYSTEM INTERFACE ${_lumavix_hdr})
add_library(nlohmann_json::nlohmann_json ALIAS lumavix_json)

# Windows 8.1 and later: the APIs of the Windows layers are all older.
add_compile_definitions(_WIN32_WINNT=0x0603 WINVER=0x0603 WIN32_LEAN_AND_MEAN NOMINMAX UNICODE
                        _UNICODE)
# The system libraries of platform/win_*.cpp.
# shell32: the Downloads known folder (win_user_folders.cpp); user32: the
# shutdown block reason (win_sleep_inhibitor.cpp).
set(LUMAVIX_WIN32_LIBS setupapi hid ole32 oleaut32 strmiids uuid shell32 user32)
# The tests link zlib statically too (no DLL beside any program).
set(ZLIB_USE_STATIC_LIBS ON)

# The icon and version resource of a program (packaging/windows/program.rc.in).
enable_language(RC)
function(lumavix_program_resources target description)
  set(LUMAVIX_RC_NAME ${target})
  set(LUMAVIX_RC_DESCRIPTION "${description}")
  set(LUMAVIX_RC_ICON ${PROJECT_SOURCE_DIR}/resources/lumavix.ico)
  set(_rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-program.rc)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/program.rc.in ${_rc} @ONLY)
  target_sources(${target} PRIVATE ${_rc})
  set_property(SOURCE ${_rc} APPEND PROPERTY OBJECT_DEPENDS ${LUMAVIX_RC_ICON})
endfunction()
