"""Renders the README's picture of the add-on: the sample photograph on a plane,
with the height and normal maps the add-on made, lit by a low sun (Cycles on the
CPU, few samples). Given a PHOTO, renders its whole material instead: the
add-on's de-lit colour, roughness, normal and height maps. Run from the repository root:

    blender -b --factory-startup --python-exit-code 1 \
        --python python/blender/render_example.py -- OUT.png [PHOTO]

It fails (exit status 1, with --python-exit-code 1: Blender's own is 0 whatever a script
does) when the maps are not made or no picture is written.
"""
import importlib.util
import math
import sys
from pathlib import Path

import bpy

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "python"))
addon_source = importlib.util.spec_from_file_location("reliefkit_blender", Path(__file__).parent /
                                              "reliefkit_blender.py")
addon = importlib.util.module_from_spec(addon_source)
addon_source.loader.exec_module(addon)
addon.register()
args = sys.argv[sys.argv.index("--") + 1:]
out, material_photo = args[0], args[1] if len(args) > 1 else None

for obj in list(bpy.data.objects):
    bpy.data.objects.remove(obj)
bpy.ops.mesh.primitive_plane_add(size=2)
plane = bpy.context.object
material = bpy.data.materials.new("Bricks")
material.use_nodes = True
plane.data.materials.append(material)

photo = bpy.data.images.load(material_photo or str(REPO / "docs" / "samples" / "bricks.png"))
settings = bpy.context.scene.reliefkit
if material_photo:
    settings.strength, settings.displacement_scale = 2, 0.03
else:
    settings.dark_is_high, settings.strength, settings.displacement_scale = True, 4, 0.02
    settings.material_maps = False
if bpy.ops.reliefkit.make_maps(image_name=photo.name) != {"FINISHED"}:
    raise RuntimeError(f"no maps made of {photo.name}")

nodes = material.node_tree.nodes
if not material_photo:
    colour = nodes.new("ShaderNodeTexImage")
    colour.image = photo
    material.node_tree.links.new(colour.outputs["Color"], nodes["Principled BSDF"].inputs[0])

bpy.ops.object.light_add(type="SUN", rotation=(math.radians(70), 0, math.radians(-135)))
bpy.context.object.data.energy = 4
bpy.ops.object.camera_add(location=(0, -2.3, 2.3), rotation=(math.radians(45), 0, 0))
scene = bpy.context.scene
scene.camera = bpy.context.object
scene.render.engine = "CYCLES"
scene.cycles.device = "CPU"
scene.cycles.samples = 32
scene.cycles.use_denoising = False  # Debian builds Blender without a denoiser
scene.render.resolution_x, scene.render.resolution_y = 480, 320
scene.render.filepath = out
# A still is written to the path given, its extension added when it has none.
written = Path(bpy.path.abspath(bpy.path.ensure_ext(out, scene.render.file_extension)))
before = written.stat().st_mtime_ns if written.exists() else None
bpy.ops.render.render(write_still=True)
if not written.exists() or written.stat().st_mtime_ns == before:
    raise RuntimeError(f"no picture written to {written}")
