# The Windows build (see cmake/mingw-w64.cmake): the same libraries, with the
# Windows platform layer and Schannel in place of poll, c-ares, ncurses and
# OpenSSL. The news server stays a Linux program; the tests run it natively.
enable_language(RC)
add_compile_definitions(_WIN32_WINNT=0x0A00 WIN32_LEAN_AND_MEAN NOMINMAX
    _FILE_OFFSET_BITS=64 _POSIX_THREAD_SAFE_FUNCTIONS=200112L)
# The POSIX calls mingw's C library lacks (pread, lstat, ...), for the
# platform-independent code that uses them.
add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:-include>"
    "$<$<COMPILE_LANGUAGE:CXX>:${PROJECT_SOURCE_DIR}/src/platform/win/posix_compat.h>")
include_directories(BEFORE ${PROJECT_SOURCE_DIR}/src/platform/win/include)

set(qiv_posix_only_platform "resolver|socket|signals|files|regex|ui_terminal|ui_screen|loop_wait")
set(qiv_posix_only_net "tls_layer")
set(qiv_posix_only_app "demo|control_server|control_client")
qiv_library(qiv_platform src/platform ws2_32 comctl32 gdi32)
# zlib for COMPRESS DEFLATE: Debian's libz-mingw-w64-dev, linked statically.
set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)
qiv_library(qiv_net src/net qiv_platform secur32 crypt32 bcrypt ws2_32 ZLIB::ZLIB)
qiv_library(qiv_nntp src/nntp qiv_net qiv_spool)
qiv_library(qiv_spool src/spool qiv_platform)
qiv_library(qiv_app src/app qiv_nntp qiv_spool)

add_executable(qivnews src/main.cpp ${PROJECT_SOURCE_DIR}/src/platform/win/qivnews.rc)
target_link_libraries(qivnews PRIVATE qiv_app)
set_target_properties(qivnews PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# The package for Windows: a zip of the program (stripped), the README and
# the licence. Nothing to install: unpack and run.
find_program(QIV_ZIP zip)
if(QIV_ZIP)
    set(package qivnews-${PROJECT_VERSION}-win64)
    set(QIV_WIN_ZIP ${CMAKE_BINARY_DIR}/${package}.zip)
    set(stage ${CMAKE_BINARY_DIR}/package/${package})
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
    add_custom_command(OUTPUT ${QIV_WIN_ZIP}
        COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage} ${QIV_WIN_ZIP}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}
        COMMAND ${CMAKE_STRIP} -o ${stage}/qivnews.exe $<TARGET_FILE:qivnews>
        COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/README.md ${stage}/README.md
        COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/LICENSE ${stage}/LICENSE
        COMMAND ${QIV_ZIP} -qrX ${QIV_WIN_ZIP} ${package}
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/package
        DEPENDS qivnews ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE VERBATIM)
    add_custom_target(qivnews_zip ALL DEPENDS ${QIV_WIN_ZIP})
endif()

# The tests that run under Wine (tests/win/run): the platform-independent
# suites cross-built, and the Windows pieces' own. ctest runs them through
# CMAKE_CROSSCOMPILING_EMULATOR, one test per program.
if(QIV_BUILD_TESTS)
    enable_testing()
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    add_subdirectory(tests/win)
endif()
