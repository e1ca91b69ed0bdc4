# Puts the two builds of the page's module, each one JavaScript file with its
# WebAssembly inside, into the page: one file that needs nothing else.
#   cmake -DTEMPLATE=... -DPLAIN=... -DSIMD=... -DOUTPUT=... -P inline_page.cmake
file(READ ${TEMPLATE} page)
file(READ ${PLAIN} plain)
file(READ ${SIMD} simd)
string(REPLACE "@FRENNICK_PLAIN_JS@" "${plain}" page "${page}")
string(REPLACE "@FRENNICK_SIMD_JS@" "${simd}" page "${page}")
file(WRITE ${OUTPUT} "${page}")
