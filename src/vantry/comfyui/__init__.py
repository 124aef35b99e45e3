"""Tools for ComfyUI servers used by the pipeline.

``from vantry.comfyui.revivo import ComfyUIManager`` restarts a server and
waits until it answers again. Importing this package loads no module.
"""
