# The Windows program and its static run time.
enable_language(RC)
add_link_options(-static -static-libgcc -static-libstdc++)
target_compile_definitions(pakrill_core PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 _WIN32_IE=0x0600)
target_link_libraries(pakrill_core PUBLIC ws2_32)

add_library(pakrill_win32 STATIC
  src/base/window_win32.cpp
  src/base/language_win32.cpp
  src/base/module_win32.cpp
  src/app/main_window_win32.cpp
  src/app/capture_commands_win32.cpp
  src/app/list_view_win32.cpp
  src/app/lower_pane_win32.cpp
  src/app/stream_commands_win32.cpp
  src/app/file_commands_win32.cpp
  src/app/advanced_options_win32.cpp
  src/app/list_tools_win32.cpp
  src/app/properties_dialog_win32.cpp
  src/app/column_settings_dialog_win32.cpp
  src/capture/pcap_library_win32.cpp
  src/capture/packet_sniffer_win32.cpp
  src/capture/frame_handoff_win32.cpp
  src/capture/netmon3_library_win32.cpp
  src/capture/netmon_library_win32.cpp
  src/capture/adapters_win32.cpp
  src/app/library_import_win32.cpp
  src/filter/filter_dialog_win32.cpp
  src/enrich/enrichment_win32.cpp)
target_link_libraries(pakrill_win32 PUBLIC pakrill_core comctl32 gdi32 user32 kernel32 shell32 ole32
  advapi32 comdlg32)

add_executable(pakrill WIN32
  src/app/main_win32.cpp
  resources/pakrill.rc)
target_link_libraries(pakrill PRIVATE pakrill_win32)
set_target_properties(pakrill PROPERTIES OUTPUT_NAME pakrill SUFFIX .exe)
# windres reports no dependencies: the files the script pulls in are named here.
set_source_files_properties(resources/pakrill.rc PROPERTIES OBJECT_DEPENDS
  "${CMAKE_SOURCE_DIR}/resources/pakrill.manifest;${CMAKE_SOURCE_DIR}/resources/resource.h;${CMAKE_SOURCE_DIR}/resources/strings.inc;${CMAKE_SOURCE_DIR}/resources/pakrill.ico;${CMAKE_SOURCE_DIR}/resources/unchecked.ico;${CMAKE_SOURCE_DIR}/resources/checked.ico;${CMAKE_SOURCE_DIR}/resources/toolbar.bmp")
