# Sourced by the benchmarks.

# bench_build BUILD_DIR TARGET...: configures BUILD_DIR when it is not yet,
# then builds the targets; on failure prints the build's output and exits.
bench_build() {
  local build=$1; shift
  if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  local log
  if ! log=$(cmake --build "$build" --target "$@" -j2 2>&1); then
    echo "$log" >&2
    exit 1
  fi
}

# A file of at least MIN_BYTES made of SAMPLE repeated (kept in bench/out
# between runs), read once into the page cache.
# make_repeated_file SAMPLE FILE MIN_BYTES
make_repeated_file() {
  local sample=$1 file=$2 min_bytes=$3
  mkdir -p "$(dirname "$file")"
  if [ ! -f "$file" ] || [ "$(stat -c %s "$file")" -lt "$min_bytes" ]; then
    rm -f "$file.part"
    while [ ! -f "$file.part" ] || [ "$(stat -c %s "$file.part")" -lt "$min_bytes" ]; do
      cat "$sample" >> "$file.part"
    done
    mv "$file.part" "$file"
  fi
  cat "$file" > /dev/null
}
