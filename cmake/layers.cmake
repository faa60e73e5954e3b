# Layers: a library's include path holds its own headers and, through its link dependencies, those
# of the libraries below it, nothing else. So an include that runs upward (diag/ naming probe/,
# base/ naming link/, app/ naming its dialogs) fails to build with "file not found".
#
# fwup_layer(<target> <folder>...) gives <target> a folder of its own in the build tree,
# include/<target>/<folder>/, holding a link to each header that sits directly in <folder> of the
# source tree: subfolders (app/qt, app/win32) are libraries of their own and stay out. The folder
# goes on the target's public include path, so every library that links <target> sees it too and
# CMake computes each library's path from its link dependencies. Includes keep their spelling from
# the tree's root ("diag/efs.h"). The folder is made anew at each configure; a header added or
# removed makes the build configure again.
function(fwup_layer target)
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  file(REMOVE_RECURSE ${root})
  foreach(folder IN LISTS ARGN)
    file(MAKE_DIRECTORY ${root}/${folder})
    file(GLOB headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder}/*.h)
    foreach(header IN LISTS headers)
      cmake_path(GET header FILENAME name)
      file(CREATE_LINK ${header} ${root}/${folder}/${name} SYMBOLIC)
    endforeach()
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()
