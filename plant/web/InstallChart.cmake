# Installs the pinned chart library with npm into NPM_PREFIX; a missing npm
# or an unreachable registry stops the build with a plain message.
set(version 1.6.32)
find_program(NPM npm)
if(NOT NPM)
  message(FATAL_ERROR "The plant's web pages need the chart library uplot@${version} from the npm registry, "
                      "but npm is not installed (Debian: apt-get install npm, or run tools/install-deps).")
endif()
execute_process(COMMAND ${NPM} install --prefix ${NPM_PREFIX} --no-audit --no-fund --no-save
                        --no-package-lock --ignore-scripts uplot@${version}
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result EQUAL 0 OR NOT EXISTS ${NPM_PREFIX}/node_modules/uplot/dist/uPlot.iife.min.js)
  message(FATAL_ERROR "npm could not install uplot@${version} for the plant's web pages (is the npm registry "
                      "reachable from this machine? set a mirror with `npm config set registry URL`).\n${err}")
endif()
