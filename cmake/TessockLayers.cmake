# Layers the build enforces. Each layer of src/ is its own target, compiled against an include
# root of its own in the build tree that holds links to its folder and the folders of the layers
# below it, and to nothing else: "#include "gui/desktop.h"" from src/acq does not compile.
# A target that links a layer sees that layer's root too, so upper layers and the tests see
# everything below them.
#
#   tessock_layer(<target> <folder>...)   the folders of src/ the target may include from
function(tessock_layer target)
  set(root ${PROJECT_BINARY_DIR}/layers/${target})
  file(MAKE_DIRECTORY ${root})
  foreach(folder ${ARGN})
    if(NOT IS_SYMLINK ${root}/${folder})
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${folder} ${root}/${folder} SYMBOLIC)
    endif()
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  elseif(type STREQUAL "EXECUTABLE")
    target_include_directories(${target} PRIVATE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()
