"""Model files for the examples, written with gmsh's Python API.

`write_model` meshes OpenCASCADE solids with first-order tetrahedra and writes
a .msh file with one named physical group per solid, ready for
`corvane.read_mesh`. Solids listed later cut their volume out of those listed
before, so an air box listed first keeps only the space around the bodies.
"""


def write_model(path, add_solids, size, min_size=None, size_at=None):
    """add_solids(occ) returns {name: volume tag}; size is the largest edge (m),
    size_at(x, y, z) an optional smaller local one."""
    import gmsh

    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("example")
        occ = gmsh.model.occ
        solids = add_solids(occ)
        tags = [(3, tag) for tag in solids.values()]
        children = occ.fragment(tags[:1], tags[1:])[1] if len(tags) > 1 else [tags]
        occ.synchronize()
        owner = {}
        for name, child in zip(solids, children):
            for _, tag in child:
                owner[tag] = name
        for name in solids:
            gmsh.model.addPhysicalGroup(3, [tag for tag, n in owner.items() if n == name], name=name)
        gmsh.option.setNumber("Mesh.MeshSizeMax", size)
        gmsh.option.setNumber("Mesh.MeshSizeMin", min_size if min_size is not None else size / 4)
        gmsh.option.setNumber("Mesh.RandomSeed", 1.0)
        if size_at is not None:
            gmsh.model.mesh.setSizeCallback(lambda dim, tag, x, y, z, lc: min(lc, size_at(x, y, z)))
        gmsh.model.mesh.generate(3)
        gmsh.write(str(path))
    finally:
        gmsh.finalize()
    return path


def ball(path, radius, size):
    """A ball of the given radius centred at the origin, in the physical group "ball"."""
    return write_model(path, lambda occ: {"ball": occ.addSphere(0.0, 0.0, 0.0, radius)}, size)
