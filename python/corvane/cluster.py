"""A FieldOperator built and applied on the workers of a Dask cluster.

The targets are split into one compact share per worker (recursive
bisection along the longest side, equal counts). Each worker builds and
keeps a `corvane.FieldOperator` for its share: the near field and the local
expansions of its own targets, which are most of an operator's memory, and
its own copy of the source side (the element tree and its multipole
expansions), which costs an upward pass per worker and application but no
communication. An application sends the vectors to every worker once and
gathers each share's field; nothing else crosses the network. The workers'
operators differ from a single one only in how their trees are cut, within
the tolerance.

A worker that leaves the cluster takes its part of the operator with it: the
next application, or the one running, raises RuntimeError on the client
rather than waiting for it.
"""

import numpy as np

# How often a waiting application checks that the workers holding the parts are still there.
_POLL_SECONDS = 0.5


def shares(points, n):
    """Indices of `points` in n groups of near-equal size, each compact in space."""
    def split(index, k):
        if k == 1:
            return [index]
        part = points[index]
        axis = np.argmax(part.max(axis=0) - part.min(axis=0))
        first = k // 2
        cut = len(index) * first // k
        order = np.argsort(part[:, axis], kind="stable")
        return split(index[order[:cut]], first) + split(index[order[cut:]], k - first)

    return split(np.arange(len(points)), n)


def _build(nodes, connectivity, targets, options):
    from corvane.operator import PlacedTargets

    # The client's FieldOperator placed the targets.
    return PlacedTargets(nodes, connectivity, targets, **options)


def _apply(operator, vectors):
    # Arrays received over the network may sit at unaligned offsets of the
    # receive buffer; the module refuses to read those in place.
    return operator(np.require(vectors, requirements=["C", "A"]))


def _info(operator):
    return operator.info


class DistributedOperator:
    """The parts of one operator on a client's workers, applied as one (see `corvane.FieldOperator`)."""

    def __init__(self, client, nodes, connectivity, targets, options):
        try:
            workers = client.scheduler_info()["workers"]
        except AttributeError:
            raise TypeError(f"client must be a dask.distributed.Client, got {type(client).__name__}") from None
        if not workers:
            raise RuntimeError("the Dask client has no workers")
        self._client = client
        addresses = sorted(workers)
        groups = [group for group in shares(targets, len(addresses)) if len(group)]
        self._addresses = addresses[:len(groups)]
        self._groups = groups
        self._n_targets = len(targets)
        mesh = client.scatter([nodes, connectivity], broadcast=True)
        self._parts = []
        for address, group in zip(self._addresses, groups):
            worker_options = dict(options)
            if worker_options["n_threads"] == 0:
                worker_options["n_threads"] = workers[address].get("nthreads", 0)
            self._parts.append(client.submit(_build, *mesh, targets[group], worker_options, workers=[address],
                                             allow_other_workers=False, pure=False))
        infos = self._gather([client.submit(_info, part, workers=[address], allow_other_workers=False, pure=False)
                              for part, address in zip(self._parts, self._addresses)])
        self.info = {"elements": len(connectivity), "targets": len(targets),
                     "bytes_kept": sum(info["bytes_kept"] for info in infos),
                     "workers": [dict(info, address=address) for info, address in zip(infos, self._addresses)]}

    def __call__(self, vectors):
        client = self._client
        [shared] = client.scatter([vectors], broadcast=True)
        futures = [client.submit(_apply, part, shared, workers=[address], allow_other_workers=False, pure=False)
                   for part, address in zip(self._parts, self._addresses)]
        result = np.empty((self._n_targets, 3))
        for group, field in zip(self._groups, self._gather(futures)):
            result[group] = field
        return result

    def _gather(self, futures):
        """The futures' results; RuntimeError when a worker holding a part leaves the cluster meanwhile."""
        from distributed import wait

        try:
            while True:
                try:
                    wait(futures, timeout=_POLL_SECONDS)
                    break
                except TimeoutError:
                    self._check_workers(futures)
            return self._client.gather(futures)
        except Exception:
            # A lost part can also surface as cancelled futures.
            self._check_workers(futures)
            raise

    def _check_workers(self, futures):
        present = self._client.scheduler_info()["workers"]
        lost = [address for address in self._addresses if address not in present]
        if lost:
            for future in futures:
                future.cancel()
            raise RuntimeError(f"the Dask worker {lost[0]} holding part of the FieldOperator left the cluster; "
                               "build the operator again")
