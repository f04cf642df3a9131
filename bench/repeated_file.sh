# Sourced by the benchmarks: a file of at least MIN_BYTES made of SAMPLE
# repeated (kept in bench/out between runs), read once into the page cache.
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
