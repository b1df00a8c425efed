# The Windows tool, Harkwell.exe, its tests, the simulated audio stack and the
# benchmarks. Included from the top-level list when the toolchain targets Windows.
enable_language(RC)

add_library(harkwell_defaults INTERFACE)
target_compile_definitions(harkwell_defaults INTERFACE
  UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)
target_include_directories(harkwell_defaults INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(harkwell_defaults INTERFACE harkwell_warnings harkwell_common)

# The capture object and its pump. The two platform calls that tests replace
# (event creation, the free-threaded marshaler) live in harkwell_platform.
add_library(harkwell_capture STATIC
  capture/loopback_capture.cpp
  capture/pcm_sink.cpp)
target_link_libraries(harkwell_capture PUBLIC harkwell_defaults ole32)

add_library(harkwell_platform STATIC
  platform/events.cpp
  platform/marshaler.cpp)
target_link_libraries(harkwell_platform PUBLIC harkwell_defaults ole32)

add_library(harkwell_app STATIC
  app/arguments.cpp
  app/stdin_watcher.cpp)
target_link_libraries(harkwell_app PUBLIC harkwell_defaults)

configure_file(app/harkwell.rc.in ${CMAKE_CURRENT_BINARY_DIR}/harkwell.rc @ONLY)
add_executable(Harkwell app/main.cpp ${CMAKE_CURRENT_BINARY_DIR}/harkwell.rc)
target_link_libraries(Harkwell PRIVATE harkwell_app harkwell_capture harkwell_platform
                                       ole32 mmdevapi)
# Address-space randomisation (with high-entropy addresses) and no-execute data.
if(MSVC)
  target_link_options(Harkwell PRIVATE /DYNAMICBASE /HIGHENTROPYVA /NXCOMPAT)
else()
  target_link_options(Harkwell PRIVATE -municode
    -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat
    $<$<CONFIG:Release>:-s>)
endif()

# Harkwell-list.exe, the companion that lists what is playing.
add_subdirectory(lister)

if(HARKWELL_BUILD_TESTS)
  enable_testing()
  add_subdirectory(simaudio)
  add_subdirectory(tests)
  add_subdirectory(bench)
endif()
