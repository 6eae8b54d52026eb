# Two commands do everything on a fresh Debian 12 machine:
#   make run    build and run the server on the embedded default configuration
#               (make run-app: the same in the desktop application)
#   make test   install what is missing, build, and run the whole test suite
# Also: make build, make test-sanitize (ASan+UBSan suite and a bounded fuzz run), make bench.

JOBS      ?= $(shell nproc)
BUILD     ?= build
ASAN      ?= build-sanitize
FUZZ      ?= build-fuzz
FUZZ_SECS ?= 120
# make run keeps its hive, logs and control sockets here.
RUN_DIR   ?= $(CURDIR)/run
RUN_ENV   := VELMORA_REGISTRY=$(RUN_DIR)/registry.db VELMORA_HOME=$(RUN_DIR) VELMORA_RUN_DIR=$(RUN_DIR)/rt \
             ODBCSYSINI=$(RUN_DIR) ODBCINI=$(RUN_DIR)/odbc.ini

# Debian packages that building and running the programs need (make run,
# run-app, run-applet): the compilers, the libraries the programs link, the
# sqlite3 tool and the ODBC driver manager and driver the seeded guest book uses.
RUN_PACKAGES := build-essential cmake ninja-build pkg-config \
            libsqlite3-dev sqlite3 libboost-context-dev libpam0g-dev libpam-modules \
            qt6-base-dev qt6-svg-dev unixodbc unixodbc-dev libsqliteodbc
# Debian packages the tests need besides (make test): their peers, clients
# and tools. Several start daemons when installed, so make run leaves them be.
PACKAGES := $(RUN_PACKAGES) clang libclang-rt-14-dev \
            libgtest-dev libgmock-dev libbenchmark-dev \
            python3 python3-aiosmtpd python3-pyftpdlib vsftpd gophernicus socat openssl curl wget goaccess apache2-utils iproute2 \
            passwd \
            python3-cryptography python3-pyasn1 nettle-bin python3-scapy python3-pycryptodome \
            nginx-light squid chromium \
            odbc-postgresql postgresql \
            php-cgi libcgi-pm-perl lighttpd \
            xvfb trayer xdotool \
            openssh-client openssh-server \
            systemd
# The programs make run and its siblings start.
RUN_TARGETS := velmorad velmora-sc velmora-reg velmora velmora-cpl
# The benchmarks' client and peer servers (make bench only).
BENCH_PACKAGES := wrk nginx-light squid php-fpm php-sqlite3

.PHONY: all deps run-deps build build-run run run-app run-applet run-seed run-seed-odbc test test-sanitize fuzz bench clean

all: build

# One dpkg-query for the whole list: a package it does not list as
# installed is missing.
deps:
	@installed=$$(dpkg-query -W -f='$${Package} $${Status}\n' $(PACKAGES) 2>/dev/null | \
	  awk '/ install ok installed$$/ { print $$1 }'); \
	missing=""; for p in $(PACKAGES); do \
	  case " $$(echo $$installed) " in *" $$p "*) ;; *) missing="$$missing $$p" ;; esac; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

run-deps:
	@$(MAKE) --no-print-directory deps PACKAGES="$(RUN_PACKAGES)"

# Configured again each time: a build first configured by make run, without
# the test packages, gains its tests once make test has installed them.
build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

build-run: run-deps
	@[ -f $(BUILD)/build.ninja ] || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS) --target $(RUN_TARGETS)

# Seeds the run folder's hive from the embedded default when it has no server,
# registers velmorad there and runs it in the foreground (Ctrl-C stops it).
# velmorad says what it serves once its listeners are up, shows every
# server event on standard error and ends non-zero when nothing could listen.
run: build-run run-seed
	@$(RUN_ENV) $(BUILD)/tools/velmora-sc query Velmora >/dev/null 2>&1 || \
	  $(RUN_ENV) $(BUILD)/tools/velmora-sc create Velmora binPath= $(abspath $(BUILD))/service/velmorad \
	    DisplayName= Velmora >/dev/null
	@echo "Starting Velmora (server log: $(RUN_DIR)/log/Velmora.log, access log: $(RUN_DIR)/log/access.log; Ctrl-C stops it)"
	@$(RUN_ENV) exec $(BUILD)/tools/velmora-sc run Velmora

# The desktop application on the same hive: it starts the servers itself,
# says what it serves once its listeners are up (or, in its window, that
# none could start) and sits in the tray (Shutdown in its window ends it).
run-app: build-run run-seed
	@echo "Starting the desktop application (server log: $(RUN_DIR)/log/Velmora.log); it says what it serves once it listens"
	@$(RUN_ENV) exec $(BUILD)/app/velmora

# The control-panel applet on the same hive, through its host.
run-applet: build-run run-seed
	@$(RUN_ENV) exec $(BUILD)/controlpanel/velmora-cpl

# The hive is seeded when it has no server configured (no HTTP server or
# chat room with its Port), not only when the file is missing: a run/
# deleted and followed by any velmora-reg command leaves a hive without the
# product's configuration, which would serve nothing and say nothing.
PRODUCT_KEY := HKLM\Software\Tessaline\Velmora
run-seed: build-run run-seed-odbc
	@mkdir -p $(RUN_DIR)/log $(RUN_DIR)/rt
	@had=""; [ -f $(RUN_DIR)/registry.db ] && had=1; \
	$(RUN_ENV) $(BUILD)/tools/velmora-reg export '$(PRODUCT_KEY)' $(RUN_DIR)/product.reg >/dev/null 2>&1 || \
	  : > $(RUN_DIR)/product.reg; \
	configured=$$(awk '/^\[/ { server = $$0 ~ /\\(HTTP\\Servers|ChatRoom\\Rooms)\\[^\\]+\]$$/ } \
	  server && /^"Port"=dword:/ { print "yes"; exit }' $(RUN_DIR)/product.reg); \
	rm -f $(RUN_DIR)/product.reg; \
	if [ -z "$$configured" ]; then \
	  sed -e 's|@WWW@|$(CURDIR)/www|g' -e 's|@RUN@|$(RUN_DIR)|g' resources/default-config.reg \
	    > $(RUN_DIR)/default-config.reg && \
	  $(RUN_ENV) $(BUILD)/tools/velmora-reg import $(RUN_DIR)/default-config.reg && \
	  if [ -n "$$had" ]; then \
	    echo "$(RUN_DIR)/registry.db has no server configured: seeded it from resources/default-config.reg"; \
	  else echo "Seeded $(RUN_DIR)/registry.db from resources/default-config.reg"; fi; \
	fi

# The guest book's data source, judged by what the files hold, not by their
# being there (a run/ deleted under a running server leaves an empty
# odbc.ini behind). The source gets its section and its line in
# [ODBC Data Sources], as unixODBC's own tools write them, so the pages
# that list sources see it; lines already there are kept.
ODBC_DRIVER := /usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so
run-seed-odbc:
	@mkdir -p $(RUN_DIR)
	@grep -qx '\[SQLite3\]' $(RUN_DIR)/odbcinst.ini 2>/dev/null || \
	  printf '[SQLite3]\nDriver=$(ODBC_DRIVER)\n' >> $(RUN_DIR)/odbcinst.ini
	@ini=$(RUN_DIR)/odbc.ini; seeded=""; \
	if ! grep -qx '\[velmora\]' $$ini 2>/dev/null; then \
	  printf '\n[velmora]\nDriver=SQLite3\nDatabase=$(RUN_DIR)/velmora.db\n' >> $$ini; seeded=1; \
	fi; \
	if ! grep -qx '\[ODBC Data Sources\]' $$ini; then \
	  { printf '[ODBC Data Sources]\nvelmora=SQLite3\n'; cat $$ini; } > $$ini.new && mv $$ini.new $$ini; seeded=1; \
	elif ! grep -q '^velmora *=' $$ini; then \
	  sed -i 's/^\[ODBC Data Sources\]$$/&\nvelmora=SQLite3/' $$ini; seeded=1; \
	fi; \
	if [ -z "$$(sqlite3 $(RUN_DIR)/velmora.db "SELECT 1 FROM sqlite_master WHERE type='table' AND name='guests';")" ]; then \
	  sqlite3 $(RUN_DIR)/velmora.db "CREATE TABLE guests (id INTEGER PRIMARY KEY, name TEXT, note TEXT); \
	    INSERT INTO guests (name, note) VALUES ('Ada', 'first guest'), ('Grace', NULL);" && seeded=1; \
	fi; \
	if [ -n "$$seeded" ]; then echo "Seeded the ODBC data source velmora over $(RUN_DIR)/velmora.db"; fi

test: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure --timeout 600

test-sanitize: deps
	cmake -S . -B $(ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON -DVELMORA_BENCH=OFF
	cmake --build $(ASAN) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN) -j $(JOBS) --output-on-failure --timeout 900
	$(MAKE) fuzz

# The fuzz targets (tests/fuzz/fuzz_NAME.cpp); FUZZ_SECS is shared evenly.
FUZZ_TARGETS := expander ber key_text pbe x500 proxy_text chunked_body chat_form verify ssl cgi_reply map wincgi_form ftp_listing gopher_menu profile remote_request remote_reply registry_text

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELMORA_FUZZ=ON -DVELMORA_SANITIZE=ON -DVELMORA_BENCH=OFF
	cmake --build $(FUZZ) -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	@share=$$(( $(FUZZ_SECS) / $(words $(FUZZ_TARGETS)) )); [ $$share -ge 5 ] || share=5; \
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ)/corpus/$$t; cp tests/fuzz/corpus/$$t/* $(FUZZ)/corpus/$$t/ 2>/dev/null || true; \
	  echo "fuzz_$$t for $$share s"; \
	  ASAN_OPTIONS=detect_leaks=1 $(FUZZ)/tests/fuzz/fuzz_$$t -max_total_time=$$share -max_len=4096 -timeout=10 \
	    -rss_limit_mb=2048 -print_final_stats=1 $(FUZZ)/corpus/$$t || exit 1; \
	done

bench: build
	@$(MAKE) --no-print-directory deps PACKAGES="$(BENCH_PACKAGES)"
	@echo "Benchmarks are in $(BUILD)/bench; run them by hand, e.g. $(BUILD)/bench/expander_bench"
	@echo "or $(BUILD)/bench/http_static (ours against nginx with wrk on a 1 KiB and a 1 MiB file, kept alive, and one request per connection; median of 3)"
	@echo "or $(BUILD)/bench/proxy_cache (our caching proxy against Squid with as many workers, both logging)"
	@echo "or bench/kav_sql.sh $(BUILD) (a 20-row SQLite page and a plain page: velmorad in fibers against PHP behind nginx, with and without keep-alive)"
	@echo "or bench/kav_sql_faults.sh $(BUILD) (SQL pages when a PostgreSQL database fails: bursts at the ceiling, a stopped database, an outage)"
	@echo "or bench/cgi.sh $(BUILD) (minimal shell and C CGI programs: velmorad against lighttpd mod_cgi)"

clean:
	rm -rf $(BUILD) $(ASAN) $(FUZZ)
