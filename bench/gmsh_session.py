"""gmsh for the benchmarks' models: quiet, single-threaded and seeded, so that a model's mesh is
the same on every run."""
import contextlib


@contextlib.contextmanager
def gmsh_session():
    """The gmsh module, initialised for one model and finalised afterwards."""
    import gmsh

    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.option.setNumber("General.NumThreads", 1)
        gmsh.option.setNumber("Mesh.RandomSeed", 1.0)
        yield gmsh
    finally:
        gmsh.finalize()
