#pragma once
// Tangent-space generation after Mikkelsen's method: per-corner tangents from the texture
// mapping, averaged around every vertex over the triangles of one UV orientation that are
// connected across edges, weighted by their corner angles. The mesh is read and the result
// handed back through callbacks; faces of 3 or 4 corners take part, other faces are skipped.
//
// Arithmetic is single precision, every operation rounded on its own (the build turns
// floating-point contraction off), with arc cosines in double precision, so that the output
// floats are fixed by the input.

namespace vmq {

struct TangentSpaceContext;

// Getters must return the same values every time they are asked for the same corner; they are
// asked in no particular order. Either setter, both or neither may be given.
struct TangentSpaceCallbacks {
    int (*getNumFaces)(const TangentSpaceContext* context);
    int (*getNumVerticesOfFace)(const TangentSpaceContext* context, int face);
    void (*getPosition)(const TangentSpaceContext* context, float position[3], int face, int corner);
    void (*getNormal)(const TangentSpaceContext* context, float normal[3], int face, int corner);
    void (*getTexCoord)(const TangentSpaceContext* context, float texcoord[2], int face, int corner);
    // Receives the unit tangent and the sign of the corner's UV orientation (+1 or -1); the
    // bitangent meant is sign * (normal x tangent).
    void (*setTSpaceBasic)(const TangentSpaceContext* context, const float tangent[3], float sign, int face, int corner);
    // Receives the tangent and bitangent directions, their magnitudes (object-space length per
    // unit of u and of v) and whether the UV orientation is preserved.
    void (*setTSpace)(const TangentSpaceContext* context, const float tangent[3], const float bitangent[3], float magnitudeS,
                      float magnitudeT, bool orientationPreserving, int face, int corner);
};

struct TangentSpaceContext {
    const TangentSpaceCallbacks* callbacks;
    void* userData; // passed back untouched
};

// Computes a tangent space for every corner of every face of 3 or 4 corners and hands each to
// the setters, in face order. Triangles whose tangents differ by more than `angularThreshold`
// degrees at a vertex get frames of their own there. Returns false, without calling a setter,
// when a getter is missing, no face takes part, or the mesh has more than 536870911 faces.
// Keeps no state between calls.
bool genTangSpace(const TangentSpaceContext& context, float angularThreshold);

// genTangSpace with a threshold of 180 degrees.
bool genTangSpaceDefault(const TangentSpaceContext& context);

} // namespace vmq
