# The UI library, compiled once into a static library of the modules Kivo
# uses. Debian ships the module sources without their bundled codecs, so
# image formats link against the system's libjpeg and libpng.
#
# A build can reuse another build's archive (the sanitizer builds reuse the
# release build's): configure with -DKIVO_JUCE_ARCHIVE=/path/libkivo_juce.a.
set(KIVO_JUCE_MODULES_DIR "/usr/share/juce/modules" CACHE PATH "JUCE module sources")
set(KIVO_JUCE_ARCHIVE "" CACHE FILEPATH "A prebuilt libkivo_juce.a to link instead of compiling the modules")

set(KIVO_JUCE_MODULES
  juce_core juce_events juce_data_structures juce_graphics juce_gui_basics juce_cryptography)

# Settings every translation unit that includes a JUCE header must share.
set(KIVO_JUCE_DEFINITIONS
  JUCE_GLOBAL_MODULE_SETTINGS_INCLUDED=1
  JUCE_STANDALONE_APPLICATION=1
  JUCE_DISPLAY_SPLASH_SCREEN=0
  JUCE_USE_CURL=0
  JUCE_WEB_BROWSER=0
  JUCE_MODAL_LOOPS_PERMITTED=1
  JUCE_USE_FLAC=0
  JUCE_USE_OGGVORBIS=0
  JUCE_LOAD_CURL_SYMBOLS_LAZILY=1
  JUCE_CHECK_MEMORY_LEAKS=0
  JUCE_DONT_DECLARE_PROJECTINFO=1
  JUCE_USE_XRENDER=0
  NDEBUG=1)
foreach(m IN LISTS KIVO_JUCE_MODULES)
  list(APPEND KIVO_JUCE_DEFINITIONS JUCE_MODULE_AVAILABLE_${m}=1)
endforeach()

find_package(PkgConfig REQUIRED)
pkg_check_modules(KIVO_JUCE_DEPS REQUIRED IMPORTED_TARGET freetype2 libpng libjpeg zlib)

if(KIVO_JUCE_ARCHIVE)
  add_library(kivo_juce STATIC IMPORTED GLOBAL)
  set_target_properties(kivo_juce PROPERTIES IMPORTED_LOCATION ${KIVO_JUCE_ARCHIVE})
else()
  set(_juce_sources)
  foreach(m IN LISTS KIVO_JUCE_MODULES)
    list(APPEND _juce_sources ${KIVO_JUCE_MODULES_DIR}/${m}/${m}.cpp)
  endforeach()
  add_library(kivo_juce STATIC ${_juce_sources})
  set_target_properties(kivo_juce PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  # Always optimised and never instrumented: it is built once and shared
  # by every build type.
  target_compile_options(kivo_juce PRIVATE -O2 -w -fno-sanitize=all)
  target_include_directories(kivo_juce PRIVATE ${KIVO_JUCE_MODULES_DIR})
  target_compile_definitions(kivo_juce PRIVATE ${KIVO_JUCE_DEFINITIONS})
  target_link_libraries(kivo_juce PRIVATE PkgConfig::KIVO_JUCE_DEPS)
endif()

# What users of the archive see: headers as system headers (their warnings
# are not ours), the shared settings and the link dependencies.
target_include_directories(kivo_juce SYSTEM INTERFACE ${KIVO_JUCE_MODULES_DIR})
target_compile_definitions(kivo_juce INTERFACE ${KIVO_JUCE_DEFINITIONS})
target_link_libraries(kivo_juce INTERFACE PkgConfig::KIVO_JUCE_DEPS ${CMAKE_DL_LIBS} rt Threads::Threads)
