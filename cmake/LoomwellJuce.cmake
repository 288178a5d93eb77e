# JUCE's module sources are compiled once, into one static library that every
# target of the project links, instead of once per target.
set(LOOMWELL_JUCE_MODULES juce_core juce_events juce_audio_basics)
if(NOT LOOMWELL_ENGINE_ONLY)
    list(APPEND LOOMWELL_JUCE_MODULES juce_audio_devices)
endif()
if(LOOMWELL_GUI AND NOT LOOMWELL_ENGINE_ONLY)
    list(APPEND LOOMWELL_JUCE_MODULES juce_graphics juce_gui_basics juce_gui_extra)
endif()

add_library(loomwell_juce STATIC)
foreach(module IN LISTS LOOMWELL_JUCE_MODULES)
    target_link_libraries(loomwell_juce PRIVATE juce::${module})
endforeach()
target_link_libraries(loomwell_juce PUBLIC juce::juce_recommended_config_flags)

target_compile_definitions(loomwell_juce
    PUBLIC
        JUCE_STANDALONE_APPLICATION=1
        JUCE_USE_CURL=0
        JUCE_WEB_BROWSER=0
        JUCE_DISPLAY_SPLASH_SCREEN=0
        JUCE_MODAL_LOOPS_PERMITTED=0
        JUCE_CATCH_UNHANDLED_EXCEPTIONS=0)

# JUCE's JACK type needs only JACK's headers at build time: it loads libjack
# itself when it first scans, and lists nothing where libjack is missing.
if(NOT LOOMWELL_ENGINE_ONLY)
    find_path(LOOMWELL_JACK_INCLUDE_DIR jack/jack.h)
    if(NOT LOOMWELL_JACK_INCLUDE_DIR)
        message(FATAL_ERROR "JACK's headers (jack/jack.h) were not found; install libjack-jackd2-dev")
    endif()
    target_compile_definitions(loomwell_juce PUBLIC JUCE_JACK=1)
endif()

# The GUI modules on Linux: X11 and its extensions are loaded at run time,
# only their headers are needed here. Debian's JUCE leaves out the bundled
# libpng and libjpeg, so the image codecs use the system's. Without the web
# browser and curl nothing links GTK, WebKit or libcurl.
if(LOOMWELL_GUI AND NOT LOOMWELL_ENGINE_ONLY)
    target_compile_definitions(loomwell_juce PUBLIC
        JUCE_INCLUDE_PNGLIB_CODE=0
        JUCE_INCLUDE_JPEGLIB_CODE=0)
    target_link_libraries(loomwell_juce PUBLIC juce::pkgconfig_JUCE_IMG_LINUX_DEPS)
endif()

# Re-export what the modules give their users (include paths and the
# JUCE_MODULE_AVAILABLE_* definitions) so that our code sees the same
# configuration as the compiled modules.
target_include_directories(loomwell_juce SYSTEM INTERFACE
    $<TARGET_PROPERTY:loomwell_juce,INCLUDE_DIRECTORIES>)
target_compile_definitions(loomwell_juce INTERFACE
    $<TARGET_PROPERTY:loomwell_juce,COMPILE_DEFINITIONS>)
set_target_properties(loomwell_juce PROPERTIES POSITION_INDEPENDENT_CODE ON)

# Warnings for our own code only: JUCE's sources are not built with -Werror.
add_library(loomwell_warnings INTERFACE)
target_link_libraries(loomwell_warnings INTERFACE juce::juce_recommended_warning_flags)
target_compile_options(loomwell_warnings INTERFACE -Werror)
