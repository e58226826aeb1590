# Shortcuts for the jobs that have their own scripts; CMake does the building.
.PHONY: windows ardour-test

# out/Chantera-win32.zip and out/Chantera-win64.zip (mingw-w64 cross builds).
windows:
	scripts/windows.sh

# Chantera.so in a real host: Ardour scans it and renders a few notes through it.
ardour-test:
	scripts/ardour-test.sh
