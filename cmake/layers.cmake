# The folder layers of cmake/layers.txt as CMake libraries. For each layer NAME:
#   LAYERS              every layer, top first
#   LAYER_DEPS_NAME     the layers NAME may include
#   LAYER_INCLUDE_NAME  a build-tree folder of links to NAME and those layers only

function(read_layers file)
  file(STRINGS ${file} lines REGEX "^[a-z_/]+:")
  set(layers "")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "^([a-z_/]+):(.*)$" matched "${line}")
    set(key "${CMAKE_MATCH_1}")
    string(REGEX REPLACE "#.*" "" deps "${CMAKE_MATCH_2}")
    string(REPLACE "/" "_" name "${key}")
    separate_arguments(deps)
    set(LAYER_DEPS_${name} ${deps})
    set(LAYER_DEPS_${name} ${deps} PARENT_SCOPE)
    if(NOT key MATCHES "/")
      list(APPEND layers ${name})
    endif()
  endforeach()
  set(LAYERS ${layers} PARENT_SCOPE)
  foreach(name IN LISTS layers)
    make_include_folder(${name} "${LAYER_DEPS_${name}}")
    set(LAYER_INCLUDE_${name} ${LAYER_INCLUDE_${name}} PARENT_SCOPE)
  endforeach()
endfunction()

# A folder `name` of links in the build tree to the source folders `folders` and `name`.
function(make_include_folder name folders)
  set(dir ${CMAKE_BINARY_DIR}/layers/${name})
  file(REMOVE_RECURSE ${dir})
  file(MAKE_DIRECTORY ${dir})
  foreach(folder IN LISTS folders ITEMS ${name})
    string(REGEX REPLACE "-test$" "" folder "${folder}")
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${dir}/${folder} SYMBOLIC)
  endforeach()
  set(LAYER_INCLUDE_${name} ${dir} PARENT_SCOPE)
endfunction()

# The static library layer_NAME of `sources`, linked to the layers below it.
function(add_layer_library name)
  add_library(layer_${name} STATIC ${ARGN})
  target_include_directories(layer_${name} PRIVATE ${LAYER_INCLUDE_${name}})
  foreach(dep IN LISTS LAYER_DEPS_${name})
    target_link_libraries(layer_${name} PUBLIC layer_${dep})
  endforeach()
endfunction()

# In `result`, the include folder for the tests of layer `name`.
function(layer_test_include name result)
  set(folders ${LAYER_DEPS_${name}} ${LAYER_DEPS_${name}_test} testing authoring
              ${LAYER_DEPS_authoring})
  list(REMOVE_DUPLICATES folders)
  list(REMOVE_ITEM folders ${name})
  # The folder is named after the tests; its link to their own sources after the layer.
  make_include_folder(${name}-test "${folders}")
  set(${result} ${LAYER_INCLUDE_${name}-test} PARENT_SCOPE)
endfunction()
