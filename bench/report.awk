# Turns the benchmark's records (runs.tsv, then the micro figures as key=value lines) into
# the table on stdout and the same figures as JSON in ENVIRON["json"]. A (payload, run)
# with any unverified repetition gets no time.

function median(values, count,    sorted, i, j, swap) {
  for (i = 1; i <= count; i++) sorted[i] = values[i]
  for (i = 2; i <= count; i++)
    for (j = i; j > 1 && sorted[j - 1] > sorted[j]; j--) {
      swap = sorted[j]; sorted[j] = sorted[j - 1]; sorted[j - 1] = swap
    }
  if (count % 2) return sorted[(count + 1) / 2]
  return (sorted[count / 2] + sorted[count / 2 + 1]) / 2
}
function minimum(values, count,    i, low) {
  low = values[1]
  for (i = 2; i <= count; i++) if (values[i] < low) low = values[i]
  return low
}
function num(value) { return value == "" ? "null" : value }
function verdict(ok) { return ok ? "met" : "MISSED" }
# ratio of two medians, "" when either is missing
function ratio(a, b) { return (a == "" || b == "" || b == 0) ? "" : sprintf("%.3f", a / b) }
function show_ratio(label, value, limit, at_most) {
  if (value == "") { printf "  %-44s %8s\n", label, "n/a"; return }
  met = at_most ? value <= limit : value >= limit
  printf "  %-44s %8.3f  (target %s %s: %s)\n", label, value, at_most ? "<=" : ">=", limit,
    verdict(met)
  targets_json = targets_json sprintf("%s\n    {\"name\": \"%s\", \"value\": %s, \"limit\": %s, " \
    "\"at_most\": %s, \"met\": %s}", targets_json == "" ? "" : ",", label, value, limit,
    at_most ? "true" : "false", met ? "true" : "false")
}

BEGIN { FS = "\t" }
FNR == NR && $1 == "payload" {
  kinds[++kind_count] = $2
  files[$2] = $3; bytes[$2] = $4; vmp[$2] = $5; deb[$2] = $6; tgz[$2] = $7
  next
}
FNR == NR && $1 == "run" {
  key = $2 SUBSEP $3
  if (!(key in count)) { order[++order_count] = key }
  n = ++count[key]
  wall[key, n] = $5; rss[key, n] = $6; cpu[key, n] = $7 + $8
  if (!$10) failed[key] = 1
  runs_json = runs_json sprintf("%s\n    {\"payload\": \"%s\", \"run\": \"%s\", \"rep\": %s, " \
    "\"wall_s\": %s, \"maxrss_kib\": %s, \"user_s\": %s, \"sys_s\": %s, \"status\": %s, " \
    "\"verified\": %s}", runs_json == "" ? "" : ",", $2, $3, $4, $5, $6, $7, $8, $9,
    $10 ? "true" : "false")
  next
}
FNR != NR {
  split($0, pair, "=")
  micro[pair[1]] = pair[2]
  micro_order[++micro_count] = pair[1]
}

END {
  json = ENVIRON["json"]
  printf "Install benchmark (%s mode): wall seconds, median of %s repetition(s) and the min; " \
    "cpu = user + sys, median\n",
    ENVIRON["mode"], ENVIRON["reps"]
  printf "machine: %s x%s, kernel %s; load %s before, %s after; %s s in all\n", ENVIRON["cpu"],
    ENVIRON["cpus"], ENVIRON["kernel"], ENVIRON["load_before"], ENVIRON["load_after"],
    ENVIRON["elapsed"]
  printf "fs: new ext4 on a loop file for every run (direct I/O %s), sync before each run%s\n\n",
    ENVIRON["loop_dio"], ENVIRON["drop_caches"] == 1 ? ", caches dropped" : ""
  printf "%-7s %-17s %9s %9s %9s %11s %9s\n", "payload", "run", "median s", "min s", "cpu s",
    "peak KiB", "verified"
  for (i = 1; i <= order_count; i++) {
    key = order[i]; split(key, part, SUBSEP)
    n = count[key]
    for (j = 1; j <= n; j++) { w[j] = wall[key, j]; r[j] = rss[key, j]; c[j] = cpu[key, j] }
    peak[key] = median(r, n)
    used[key] = median(c, n)
    if (!(key in failed)) { med[key] = median(w, n); low[key] = minimum(w, n) }
    if (part[1] != last_kind && i > 1) print ""
    last_kind = part[1]
    if (key in failed)
      printf "%-7s %-17s %9s %9s %9.3f %11d %9s\n", part[1], part[2], "-", "-", used[key],
        peak[key], "FAILED"
    else
      printf "%-7s %-17s %9.3f %9.3f %9.3f %11d %9s\n", part[1], part[2], med[key], low[key],
        used[key], peak[key], n "/" n
    summary_json = summary_json sprintf("%s\n    {\"payload\": \"%s\", \"run\": \"%s\", " \
      "\"median_wall_s\": %s, \"min_wall_s\": %s, \"median_cpu_s\": %s, " \
      "\"median_maxrss_kib\": %s, \"verified\": %s}",
      summary_json == "" ? "" : ",", part[1], part[2], num(med[key]), num(low[key]), used[key],
      peak[key],
      (key in failed) ? "false" : "true")
  }

  print "\nPayloads (files, bytes; package, .deb and .tar.gz sizes):"
  for (i = 1; i <= kind_count; i++) {
    k = kinds[i]
    printf "  %-6s %5d files %11d B; .vmp %10d B, .deb %10d B, .tar.gz %10d B\n", k, files[k],
      bytes[k], vmp[k], deb[k], tgz[k]
    payloads_json = payloads_json sprintf("%s\n    {\"payload\": \"%s\", \"files\": %s, " \
      "\"bytes\": %s, \"vmp_bytes\": %s, \"deb_bytes\": %s, \"tar_gz_bytes\": %s}",
      payloads_json == "" ? "" : ",", k, files[k], bytes[k], vmp[k], deb[k], tgz[k])
  }

  print "\nTargets (ratios of medians of the same run; durable against durable):"
  for (i = 1; i <= kind_count; i++) {
    k = kinds[i]
    show_ratio(k ": installer-folder / dpkg", ratio(med[k, "installer-folder"], med[k, "dpkg"]),
      0.8, 1)
    show_ratio(k ": installer-stdin / dpkg", ratio(med[k, "installer-stdin"], med[k, "dpkg"]),
      0.8, 1)
    show_ratio(k ": installer-folder / bsdtar+sync",
      ratio(med[k, "installer-folder"], med[k, "bsdtar+sync"]), 1.5, 1)
    show_ratio(k ": installer-stdin / bsdtar+sync",
      ratio(med[k, "installer-stdin"], med[k, "bsdtar+sync"]), 1.5, 1)
  }
  for (i = 1; i <= 2; i++) {
    run = i == 1 ? "installer-folder" : "installer-stdin"
    if (("large", run) in peak && ("small", run) in peak) {
      flat = ratio(peak["large", run], peak["small", run])
      show_ratio("peak memory |large / small - 1|, " run,
        sprintf("%.3f", flat > 1 ? flat - 1 : 1 - flat), 0.05, 1)
      worst = peak["large", run] > peak["small", run] ? peak["large", run] : peak["small", run]
      show_ratio("peak memory MiB, " run, sprintf("%.2f", worst / 1024), 6, 1)
    }
  }
  show_ratio("part stream hashing / OpenSSL SHA-256", micro["part_stream_4k_ratio"], 0.8, 0)
  show_ratio("level-1 check / X25519", micro["level1_x25519_ratio"], 3, 1)
  show_ratio("--show over 500 packages, text database, ms", micro["show_500_text_ms"], 10, 1)
  show_ratio("--show over 500 packages, image database, ms", micro["show_500_image_ms"], 10, 1)

  print "\nMicro-benchmarks (medians of repeated runs; throughput: best pass):"
  for (i = 1; i <= micro_count; i++) {
    printf "  %-36s %s\n", micro_order[i], micro[micro_order[i]]
    micro_json = micro_json sprintf("%s\n    \"%s\": %s", micro_json == "" ? "" : ",",
      micro_order[i], micro[micro_order[i]])
  }

  if (json == "") exit
  printf "{\n  \"mode\": \"%s\",\n  \"repetitions\": %s,\n  \"statistic\": \"median\",\n",
    ENVIRON["mode"], ENVIRON["reps"] > json
  printf "  \"machine\": {\"cpu\": \"%s\", \"cpus\": %s, \"kernel\": \"%s\", " \
    "\"load_before\": \"%s\", \"load_after\": \"%s\", \"elapsed_s\": %s, " \
    "\"loop_direct_io\": \"%s\", \"caches_dropped\": %s},\n", ENVIRON["cpu"], ENVIRON["cpus"],
    ENVIRON["kernel"], ENVIRON["load_before"], ENVIRON["load_after"], ENVIRON["elapsed"],
    ENVIRON["loop_dio"], ENVIRON["drop_caches"] == 1 ? "true" : "false" > json
  printf "  \"payloads\": [%s\n  ],\n", payloads_json > json
  printf "  \"summary\": [%s\n  ],\n", summary_json > json
  printf "  \"targets\": [%s\n  ],\n", targets_json > json
  printf "  \"micro\": {%s\n  },\n", micro_json > json
  printf "  \"runs\": [%s\n  ]\n}\n", runs_json > json
}
