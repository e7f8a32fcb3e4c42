# nimbo_export_support(TARGET)
# Links every object of the support library into the executable TARGET,
# whether the program uses it or not, and exports the executable's names, so
# that a module loaded into the running program (built against the headers
# of the "development" component and target zyrene::headers) finds the
# library's classes and free functions, and the program's windows, in it.
function(nimbo_export_support target)
  target_link_libraries(${target} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,support>")
  set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
endfunction()
