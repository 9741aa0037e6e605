# The Windows program and its static run time.
enable_language(RC)
add_link_options(-static -static-libgcc -static-libstdc++)
target_compile_definitions(pakrill_core PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
target_link_libraries(pakrill_core PUBLIC ws2_32)

find_library(ZLIB_STATIC NAMES libz.a z REQUIRED)

add_executable(pakrill WIN32
  src/app/main_win32.cpp
  resources/pakrill.rc)
target_link_libraries(pakrill PRIVATE pakrill_core ${ZLIB_STATIC} comctl32 gdi32 user32 kernel32)
set_target_properties(pakrill PROPERTIES OUTPUT_NAME pakrill SUFFIX .exe)
