# `cmake --graphviz`: the project's own targets, without the tests' and the system's.
set(GRAPHVIZ_EXTERNAL_LIBS FALSE)
set(GRAPHVIZ_GENERATE_PER_TARGET FALSE)
set(GRAPHVIZ_GENERATE_DEPENDERS FALSE)
set(GRAPHVIZ_IGNORE_TARGETS "^test_|_tests?$|^qx.*test|^qxsimfixture$|^qxcomportserver$|^qxbenchpty$|^qxptypeer$|^qxser2net$|^gtest|^gmock|^qx_.*bench$|^qxloopback$|^readme_txt$|^manpages$")
