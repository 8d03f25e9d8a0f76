# What every codec folder under codecs/ builds once its libraries are found: one module of
# framewick.formats from its sources, on the frame's header-only codec binding (codec.hpp,
# references, errors; nothing of the class machinery is linked), installed beside the Python
# side that uses it.
#
#   framewick_codec(_png SOURCES png_module.cpp png_codec.cpp LIBRARIES PkgConfig::LIBPNG)
function(framewick_codec target)
  cmake_parse_arguments(PARSE_ARGV 1 CODEC "" "" "SOURCES;LIBRARIES")
  python_add_library(${target} MODULE WITH_SOABI ${CODEC_SOURCES})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/frame)
  target_link_libraries(${target} PRIVATE ${CODEC_LIBRARIES})
  install(TARGETS ${target} LIBRARY DESTINATION framewick/formats)
endfunction()
