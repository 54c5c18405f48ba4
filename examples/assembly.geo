// A cylindrical magnet above a steel plate, a coil around the magnet, all in a
// sphere of air. Lengths in metres. Mesh it with
//     gmsh assembly.geo -3 -o assembly.msh
SetFactory("OpenCASCADE");

Cylinder(1) = {0, 0, 0.005, 0, 0, 0.005, 0.006};          // magnet: radius 6 mm, 5 mm high, 5 mm above the plate
Box(2) = {-0.02, -0.02, -0.006, 0.04, 0.04, 0.006};        // plate: 40 x 40 x 6 mm, top face at z = 0
Cylinder(3) = {0, 0, 0.005, 0, 0, 0.005, 0.013};
Cylinder(4) = {0, 0, 0.005, 0, 0, 0.005, 0.010};
BooleanDifference(5) = {Volume{3}; Delete;}{Volume{4}; Delete;};   // coil: radii 10 to 13 mm
Sphere(6) = {0, 0, 0, 0.05};                               // air
BooleanFragments{Volume{6}; Delete;}{Volume{1, 2, 5}; Delete;}

e = 1e-5;
magnet() = Volume In BoundingBox{-0.006 - e, -0.006 - e, 0.005 - e, 0.006 + e, 0.006 + e, 0.010 + e};
plate() = Volume In BoundingBox{-0.02 - e, -0.02 - e, -0.006 - e, 0.02 + e, 0.02 + e, e};
coil() = Volume In BoundingBox{-0.013 - e, -0.013 - e, 0.005 - e, 0.013 + e, 0.013 + e, 0.010 + e};
coil() -= magnet();
air() = Volume{:};
air() -= {magnet(), plate(), coil()};
Physical Volume("magnet") = magnet();
Physical Volume("plate") = plate();
Physical Volume("coil") = coil();
Physical Volume("air") = air();

// 2 mm elements around the magnet and the coil, growing to 15 mm in the air.
Field[1] = Box;
Field[1].VIn = 0.002;
Field[1].VOut = 0.015;
Field[1].XMin = -0.014; Field[1].XMax = 0.014;
Field[1].YMin = -0.014; Field[1].YMax = 0.014;
Field[1].ZMin = -0.002; Field[1].ZMax = 0.011;
Field[1].Thickness = 0.015;
Background Field = 1;
Mesh.MeshSizeExtendFromBoundary = 0;
Mesh.MeshSizeFromPoints = 0;
Mesh.MeshSizeFromCurvature = 0;
