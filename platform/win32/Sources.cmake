# The Windows build of tolmix_core: each platform/win32/X.cpp takes the
# place of platform/X.cpp; the files below have no Windows counterpart
# (socket activation belongs to the bridge).
file(GLOB _win32_srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/win32/*.cpp)
get_target_property(_core_srcs tolmix_core SOURCES)
set(_posix_only ${CMAKE_SOURCE_DIR}/platform/SocketActivation.cpp)
foreach(f ${_win32_srcs})
  get_filename_component(_name ${f} NAME)
  list(APPEND _posix_only ${CMAKE_SOURCE_DIR}/platform/${_name})
endforeach()
list(REMOVE_ITEM _core_srcs ${_posix_only})
set_property(TARGET tolmix_core PROPERTY SOURCES ${_core_srcs} ${_win32_srcs})
# The POSIX names the shared sources use, in their Windows spelling.
target_compile_options(tolmix_core PUBLIC
  "SHELL:-include ${CMAKE_SOURCE_DIR}/platform/win32/PosixCompat.h")
target_compile_definitions(tolmix_core PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX
  _WIN32_WINNT=0x0601 __USE_MINGW_ANSI_STDIO=1)
target_link_libraries(tolmix_core PUBLIC crypt32 advapi32 shell32 ole32 oleaut32 uuid comctl32 user32)
# The PKCS#11 header the engine builds against: p11-kit's (Debian's
# libp11-kit-dev), copied so that no other header of the build machine
# comes into the Windows build.
file(COPY /usr/include/p11-kit-1/p11-kit/pkcs11.h
     DESTINATION ${CMAKE_BINARY_DIR}/include/p11-kit-1/p11-kit)
target_include_directories(tolmix_core PUBLIC ${CMAKE_BINARY_DIR}/include)
