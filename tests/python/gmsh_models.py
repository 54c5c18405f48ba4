"""Model files for the model tests: OpenCASCADE solids meshed by gmsh's Python API and written
as .msh files with one named physical group per solid (or list of solids)."""
import numpy as np

gmsh = __import__("pytest").importorskip("gmsh")


def write_msh(path, build, order=1):
    """build(occ) returns {name: (volume tags, mesh size on their boundary)}; a name None
    makes an unnamed physical group. Returns {name: elements gmsh made in that group}."""
    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.option.setNumber("General.NumThreads", 1)
        gmsh.option.setNumber("Mesh.RandomSeed", 1.0)
        occ = gmsh.model.occ
        groups = build(occ)
        occ.synchronize()
        for name, (tags, _) in groups.items():
            gmsh.model.addPhysicalGroup(3, tags, name=name or "")
        # Largest first: points shared by several groups take the smallest size.
        for tags, size in sorted(groups.values(), key=lambda group: -group[1]):
            gmsh.model.mesh.setSize(gmsh.model.getBoundary([(3, t) for t in tags], recursive=True), size)
        gmsh.option.setNumber("Mesh.MeshSizeMax", max(size for _, size in groups.values()))
        gmsh.model.mesh.generate(3)
        if order > 1:
            gmsh.model.mesh.setOrder(order)
        counts = {name: sum(len(gmsh.model.mesh.getElements(3, t)[1][0]) for t in tags)
                  for name, (tags, _) in groups.items()}
        gmsh.write(str(path))
    finally:
        gmsh.finalize()
    return counts


def sphere(radius, size):
    return lambda occ: {"sphere": ([occ.addSphere(0.0, 0.0, 0.0, radius)], size)}


def in_air_box(occ, bodies, half, size):
    """Fragments the bodies {name: (volume tag, mesh size)} with a box of air around them."""
    air = occ.addBox(-half, -half, -half, 2 * half, 2 * half, 2 * half)
    _, children = occ.fragment([(3, air)], [(3, tag) for tag, _ in bodies.values()])
    body_tags = [[t for _, t in child] for child in children[1:]]
    air_tags = [t for _, t in children[0] if all(t not in tags for tags in body_tags)]
    groups = {name: (tags, size) for (name, (_, size)), tags in zip(bodies.items(), body_tags)}
    return {**groups, "air": (air_tags, size)}

def azimuthal(j):
    """A current density of magnitude j around the z axis, as a function of the centroids."""
    return lambda c: j * np.column_stack([-c[:, 1], c[:, 0], np.zeros(len(c))]) / np.hypot(c[:, 0], c[:, 1])[:, None]
