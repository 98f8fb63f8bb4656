"""Sums a 4-D DM file over its detector axes lazily, as bench/lazy-compare times it.

    lazy_sum.py trestan FILE     trestan.load(FILE, lazy=True)[0]["data"].sum(axis=(-2, -1)).compute()
                                 on a dask.distributed LocalCluster of 2 worker processes of 1 thread
    lazy_sum.py hyperspy FILE    hyperspy.api.load(FILE, lazy=True).data.sum(axis=(-2, -1)).compute()
                                 with HyperSpy's default scheduler

Prints one summary line as key=value pairs: opened (1), loadSeconds (the expression: loading, the
graph, the sum and its computation; not the imports of Dask and HyperSpy, nor, for trestan, starting
the cluster and its workers' import of dask.array, all before), graphSeconds (the load alone), checksum (the float64 sum of the result), shape, chunks
(count) and chunkBytes (the largest chunk); for trestan also workerPeakKiB and workerStartKiB (each
worker's peak resident memory after the run and its resident memory before it, comma-separated).
"""

import math
import resource
import sys
import time


def peak_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize() // 1024


def summary(data, result, started, loaded, finished):
    chunk = math.prod(max(sizes) for sizes in data.chunks) * data.dtype.itemsize
    return (f"opened=1 loadSeconds={finished - started:.6f} graphSeconds={loaded - started:.6f}"
            f" checksum={float(result.astype('float64').sum())!r} shape={'x'.join(map(str, data.shape))}"
            f" chunks={data.npartitions} chunkBytes={chunk}")


def import_dask_array():
    import dask.array  # noqa: F401


def with_trestan(path):
    # Dask's array module is imported before the timing, here and in the workers, as part of the
    # cluster's start (hyperspy.api imports it too); trestan's own modules are imported by the
    # expression, in the workers by its tasks.
    import dask.array  # noqa: F401
    import distributed
    import trestan

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        client.wait_for_workers(2)
        client.run(import_dask_array)
        start = client.run(resident_kib)
        started = time.perf_counter()
        data = trestan.load(path, lazy=True)[0]["data"]
        loaded = time.perf_counter()
        result = data.sum(axis=(-2, -1)).compute()
        finished = time.perf_counter()
        peaks = client.run(peak_kib)
        workers = sorted(peaks)
        print(summary(data, result, started, loaded, finished)
              + f" workerPeakKiB={','.join(str(peaks[w]) for w in workers)}"
              + f" workerStartKiB={','.join(str(start[w]) for w in workers)}")


def with_hyperspy(path):
    import logging
    import warnings

    import hyperspy.api as hs

    logging.disable(logging.WARNING)
    warnings.simplefilter("ignore")
    started = time.perf_counter()
    signal = hs.load(path, lazy=True)
    loaded = time.perf_counter()
    result = signal.data.sum(axis=(-2, -1)).compute()
    finished = time.perf_counter()
    print(summary(signal.data, result, started, loaded, finished))


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("trestan", "hyperspy"):
        sys.exit("usage: lazy_sum.py trestan|hyperspy FILE")
    (with_trestan if sys.argv[1] == "trestan" else with_hyperspy)(sys.argv[2])
