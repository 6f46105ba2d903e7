# The Windows test clients (run under Wine by tests/win32/run.sh); included
# by the Windows build only (tests/ makes a test of every folder with sources at its top).
add_executable(tolmix_probe ${CMAKE_SOURCE_DIR}/tests/win32/clients/probe.cpp)
target_compile_definitions(tolmix_probe PRIVATE WIN32_LEAN_AND_MEAN)
target_link_libraries(tolmix_probe PRIVATE ole32 oleaut32 uuid user32)
target_link_options(tolmix_probe PRIVATE -static)
set_target_properties(tolmix_probe PROPERTIES OUTPUT_NAME probe
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
add_executable(tolmix_import ${CMAKE_SOURCE_DIR}/tests/win32/clients/import.cpp)
target_link_libraries(tolmix_import PRIVATE tolmix_core)
target_link_options(tolmix_import PRIVATE -static)
set_target_properties(tolmix_import PROPERTIES OUTPUT_NAME import
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
add_executable(tolmix_drive ${CMAKE_SOURCE_DIR}/tests/win32/clients/drive.cpp)
target_compile_definitions(tolmix_drive PRIVATE WIN32_LEAN_AND_MEAN UNICODE)
target_link_options(tolmix_drive PRIVATE -static -municode)
set_target_properties(tolmix_drive PROPERTIES OUTPUT_NAME drive
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
add_executable(tolmix_embed ${CMAKE_SOURCE_DIR}/tests/win32/clients/embed.cpp)
target_compile_definitions(tolmix_embed PRIVATE WIN32_LEAN_AND_MEAN)
target_link_libraries(tolmix_embed PRIVATE ole32 oleaut32 uuid user32 gdi32)
target_link_options(tolmix_embed PRIVATE -static)
set_target_properties(tolmix_embed PROPERTIES OUTPUT_NAME embed
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
