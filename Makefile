# Thin wrapper around build.sh, for those who type make.
.PHONY: all run stop check test install bench deb
all:
	./build.sh build
run:
	./build.sh run
stop:
	./build.sh stop
check test:
	./build.sh test
install:
	./build.sh install
bench:
	./build.sh bench
deb:
	./build.sh deb
