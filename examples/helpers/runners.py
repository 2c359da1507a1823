"""Three ways to run read_many.py's per-file work over many files. Each yields the summaries in
the order the files finish."""

from __future__ import annotations

import multiprocessing
import pathlib
import tempfile
import zipfile
from collections.abc import Iterator
from concurrent.futures import ProcessPoolExecutor, as_completed

from .signal_summary import FileSummary, summarize_file


def in_this_process(paths: list[str], width: int) -> Iterator[FileSummary]:
    """One file after another: the plain loop."""
    for path in paths:
        yield summarize_file(path, width)


def in_processes(paths: list[str], width: int, jobs: int) -> Iterator[FileSummary]:
    """A pool of jobs worker processes. A read holds the interpreter lock from start to end, so
    threads would read one file at a time; processes read jobs files at once."""
    # Forked workers start at once with quorel imported; a fresh interpreter costs each about
    # 0.1 s. This process runs no other thread to fork with (progress.py sees to tqdm's).
    context = multiprocessing.get_context("fork")
    with ProcessPoolExecutor(max_workers=jobs, mp_context=context) as pool:
        futures = [pool.submit(summarize_file, path, width) for path in paths]
        for future in as_completed(futures):
            yield future.result()


def on_dask(address: str, paths: list[str], width: int) -> Iterator[FileSummary]:
    """The workers of the Dask cluster whose scheduler is at address. They need quorel installed
    and the files at the same paths; this package is sent to them."""
    try:
        from dask.distributed import Client, as_completed as dask_completed
    except ImportError:
        raise SystemExit("read_many.py: --dask needs dask.distributed: pip install 'quorel[dask]'") from None
    with Client(address) as client:
        with tempfile.TemporaryDirectory() as folder:
            client.upload_file(package_archive(pathlib.Path(folder)))
        # keep_report: on a shared worker, quorel's report goes to the worker's log.
        futures = client.map(summarize_file, paths, width=width, keep_report=True, pure=False)
        for future in dask_completed(futures):
            yield future.result()


def package_archive(folder: pathlib.Path) -> str:
    """This package as a zip archive in folder. A worker puts an uploaded archive on its import
    path, so that the package imports there under its own name, as the functions sent to it
    expect; single modules uploaded would import as top-level modules instead."""
    package = pathlib.Path(__file__).resolve().parent
    archive = folder / f"{package.name}.zip"
    with zipfile.ZipFile(archive, "w") as zipped:
        for module in sorted(package.glob("*.py")):
            zipped.write(module, f"{package.name}/{module.name}")
    return str(archive)
