"""The Markdown report of a measurement."""

import os
import platform
import re
import statistics
import subprocess


def machine_description():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{os.cpu_count()} CPUs, {model}, Linux {platform.release()}"


def version_of(argv0):
    """The first line that names a version, from --version or --help."""
    for flag in ("--version", "--help"):
        try:
            run = subprocess.run([argv0, flag], capture_output=True, text=True, timeout=5)
        except (OSError, subprocess.SubprocessError):
            continue
        for line in (run.stdout + run.stderr).splitlines():
            if re.search(r"\bv?\d+\.\d+", line):
                return line.strip()
    return ""


def ratio(value, reference):
    if not reference:
        return "-"
    share = value / reference
    if share >= 10:
        return f"{share:.0f}"
    return f"{share:.3f}" if share < 0.1 else f"{share:.2f}"


def median(runs, key):
    values = [r[key] for r in runs if key in r]
    return statistics.median(values) if values else None


def summary(runs):
    if any("error" in r for r in runs):
        return next(r["error"] for r in runs if "error" in r)
    return (f"{median(runs, 'mib_per_s'):.1f} MiB/s, {median(runs, 'cpu_ms_per_mib'):.2f} ms "
            f"CPU/MiB, peak {max(r['peak_rss_kib'] for r in runs)} KiB, "
            f"{', '.join(sorted(set(r['check'] for r in runs)))}")


def report(args, readers, datasets, results, idle, reactions):
    lines = []
    add = lines.append
    add(f"Machine: {machine_description()}.  ")
    others = min(args.repeats, args.others_repeats)
    add(f"Data: {args.mib:g} MiB per run; cat and serialtap: median of {args.repeats} runs, "
        f"the terminal programs: {'median of ' if others > 1 else ''}{others} "
        f"run{'s' if others > 1 else ''}.  ")
    versions = [version_of(r.argv[0]) for r in readers
                if r.name.split()[0] not in ("cat", "serialtap")]
    versions = [v for v in versions if v]
    if versions:
        add(f"Compared with: {', '.join(versions)}; cat is {version_of('cat')}.")
    add("")
    add("| Data | Program | MiB/s | vs cat | CPU ms per MiB | vs cat | Peak RSS KiB | Capture |")
    add("|---|---|---:|---:|---:|---:|---:|---|")
    for data_name, _ in datasets:
        cat_runs = results.get((data_name, "cat"), [])
        cat_speed = median(cat_runs, "mib_per_s")
        cat_cpu = median(cat_runs, "cpu_ms_per_mib")
        for reader in readers:
            runs = results.get((data_name, reader.name), [])
            if not runs or any("error" in r for r in runs):
                error = next((r["error"] for r in runs if "error" in r), "not run")
                add(f"| {data_name} | {reader.name} | - | - | - | - | - | {error} |")
                continue
            speed = median(runs, "mib_per_s")
            cpu = median(runs, "cpu_ms_per_mib")
            checks = ", ".join(sorted(set(r["check"] for r in runs)))
            add(f"| {data_name} | {reader.name} | {speed:.1f} | {ratio(speed, cat_speed)} | "
                f"{cpu:.2f} | {ratio(cpu, cat_cpu)} | {max(r['peak_rss_kib'] for r in runs)} | "
                f"{checks} |")
    add("")
    if idle:
        add(f"| Idle, {args.idle_seconds:g} s without traffic | CPU s | Wake-ups per s |")
        add("|---|---:|---:|")
        for name, figures in idle.items():
            add(f"| {name} | {figures['cpu_s']:.4f} | {figures['wakeups_per_s']:.2f} |")
        add("")
    if reactions:
        add("| serialtap, `q` to exit | median ms | worst ms |")
        add("|---|---:|---:|")
        for traffic, values in reactions.items():
            label = "at full traffic" if traffic else "idle"
            add(f"| {label} | {statistics.median(values):.1f} | {max(values):.1f} |")
    return "\n".join(lines)
