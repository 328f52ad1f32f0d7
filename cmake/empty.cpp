// The plug-in module is assembled from the vgs_core library; this file only gives the
// linker a translation unit of its own.
