# libQoroAudioFile.so: the in-process component (classes AudioFile and
# AudioFileLameMp3Encoder). It links the object layer, which brings every
# layer below, and exports only the four component entry points.
if(TARGET qorocom)
  add_library(QoroAudioFile SHARED ${CMAKE_CURRENT_SOURCE_DIR}/object/module.cpp)
  target_link_libraries(QoroAudioFile PRIVATE qoro_af_object qorocom)
  target_link_options(QoroAudioFile PRIVATE
    "LINKER:--version-script=${CMAKE_CURRENT_SOURCE_DIR}/object/exports.map")
  set_target_properties(QoroAudioFile PROPERTIES
    LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/object/exports.map)
  if(QORO_SANITIZE)
    # Under the sanitizers the component stays mapped once loaded, and so do
    # the libraries it brings: what they keep for the life of the process
    # (libsoxr's OpenMP runtime keeps a few bytes from its start) stays
    # reachable, and LeakSanitizer does not take an unloaded library's
    # globals for leaks.
    target_link_options(QoroAudioFile PRIVATE "LINKER:-z,nodelete")
  endif()
endif()

# The encoder library is loaded at run time from the component's own folder;
# build it whenever the component is built.
if(TARGET QoroAudioFile AND TARGET lame_enc)
  add_dependencies(QoroAudioFile lame_enc)
endif()
