# libQoroAudioInformation.so: the in-process component (class AudioInformation).
# It links every part of this folder and exports only the four component entry
# points.
if(TARGET qorocom AND TARGET qoro_ai_object)
  add_library(QoroAudioInformation SHARED ${CMAKE_CURRENT_SOURCE_DIR}/object/module.cpp)
  target_link_libraries(QoroAudioInformation PRIVATE ${QORO_AI_PARTS} qorocom)
  target_link_options(QoroAudioInformation PRIVATE
    "LINKER:--version-script=${CMAKE_CURRENT_SOURCE_DIR}/object/exports.map")
  set_target_properties(QoroAudioInformation PROPERTIES
    LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/object/exports.map)
endif()
